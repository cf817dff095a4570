// The P.862 / P.862.2 pipeline: level alignment, input filtering, time alignment per
// utterance, perceptual and cognitive model, score mapping.
#include "vemio/metrics/pesq.hpp"

#include <algorithm>
#include <cmath>
#include <string>
#include <utility>
#include <vector>

#include "pesq_detail.hpp"

namespace vemio {
namespace pd = pesq_detail;

namespace {

// Search range of the per-utterance envelope alignment around the overall delay: 1 s. The
// reference model follows a jump in delay between two utterances of 0.4 to 1 s (black-box,
// both modes); 300 ms lost the second utterance.
constexpr int kSearchFrames = 250;

std::pair<long, long> speech_span(const std::vector<double>& x) {
  // Five consecutive samples of the level-aligned, filtered reference averaging more than
  // 100 in magnitude (measured on the reference model with short tone bursts before and after
  // speech, black-box).
  constexpr double kLevel = 100.0 * 5;
  const long n = static_cast<long>(x.size());
  if (n < 5) return {0, 0};
  double sum = 0;
  for (int k = 0; k < 5; ++k) sum += std::abs(x[k]);
  long a = -1, b = -1;
  for (long i = 0; i + 5 <= n; ++i) {
    if (i > 0) sum += std::abs(x[i + 4]) - std::abs(x[i - 1]);
    if (sum > kLevel) {
      if (a < 0) a = i;
      b = i + 5;
    }
  }
  if (a < 0) return {0, 0};
  return {a, b};
}

template <typename T>
std::vector<double> checked_copy(std::span<const T> x, const char* which) {
  std::vector<double> out(x.begin(), x.end());
  for (double v : out)
    if (!std::isfinite(v))
      throw PesqError(PesqError::Kind::invalid_input,
                      std::string("the ") + which + " signal contains NaN or infinite samples");
  return out;
}

PesqScore run(std::vector<double> ref, std::vector<double> deg, int rate, PesqMode mode) {
  if (rate != 8000 && rate != 16000)
    throw PesqError(PesqError::Kind::invalid_rate, "sampling rate " + std::to_string(rate) +
                                                       " Hz is not supported: accepted rates are 8000 and 16000 Hz");
  if (mode == PesqMode::wide_band && rate != 16000)
    throw PesqError(PesqError::Kind::invalid_mode, "wide-band mode needs a sampling rate of 16000 Hz");
  const size_t min_len = static_cast<size_t>(rate / 4);
  if (ref.size() < min_len || deg.size() < min_len)
    throw PesqError(PesqError::Kind::too_short, "signal too short: at least a quarter of a second (" +
                                                    std::to_string(min_len) + " samples) is needed");

  const pd::Setup s = pd::make_setup(rate, mode);
  // A silent reference has nothing to score; a silent degraded signal is simply the worst
  // case (it is scored, and lands at the bottom of the scale).
  if (pd::align_level(ref, s) <= 0) throw PesqError(PesqError::Kind::no_utterances, "no utterances detected");
  pd::align_level(deg, s);
  pd::input_filter(ref, s);
  pd::input_filter(deg, s);

  const pd::Activity ra = pd::detect_activity(ref, s.env_frame);
  const pd::Activity da = pd::detect_activity(deg, s.env_frame);
  std::vector<pd::Utterance> utts = pd::find_utterances(ra);
  if (utts.empty()) throw PesqError(PesqError::Kind::no_utterances, "no utterances detected");

  // Overall delay from the envelopes, then each utterance around it.
  const int overall = pd::overall_lag(ra, da);
  std::vector<pd::Utterance> aligned;
  for (const auto& u : utts) {
    const auto pieces = pd::split_utterance(ref, deg, ra, da, u, overall, kSearchFrames, s);
    for (size_t k = 0; k < pieces.size(); ++k) {
      const int end = k + 1 < pieces.size() ? pieces[k + 1].env_start : u.end;
      aligned.push_back({pieces[k].env_start, end, pieces[k].delay.delay, pieces[k].delay.confidence});
    }
  }
  utts = std::move(aligned);

  // Delay of every perceptual frame: that of its utterance; between utterances the boundary
  // is halfway through the pause.
  const int nfr = static_cast<int>((ref.size() - static_cast<size_t>(s.nfft)) / s.hop) + 1;
  std::vector<int> frame_delay(nfr);
  size_t u = 0;
  for (int i = 0; i < nfr; ++i) {
    const long centre = static_cast<long>(i) * s.hop + s.nfft / 2;
    while (u + 1 < utts.size()) {
      const long mid = (static_cast<long>(utts[u].end) + utts[u + 1].start) * s.env_frame / 2;
      if (centre < mid) break;
      ++u;
    }
    frame_delay[i] = utts[u].delay;
  }
  // The scored span runs from the first to the last loud place of the reference (see
  // speech_span). Frames from the one holding its start to the one before the hop holding its
  // end are scored (measured on the reference model with noise bursts swept across the end of
  // the span, both modes).
  const auto [speech_a, speech_b] = speech_span(ref);
  int first = static_cast<int>(speech_a / s.hop);
  int last = static_cast<int>(std::min<long>(nfr, speech_b / s.hop));
  if (speech_b <= speech_a) {  // nothing that loud: fall back to the utterances
    first = static_cast<int>(std::max(0L, (static_cast<long>(utts.front().start) * s.env_frame - s.nfft / 2) / s.hop));
    last = static_cast<int>(
        std::min<long>(nfr, (static_cast<long>(utts.back().end) * s.env_frame - s.nfft / 2) / s.hop + 1));
  }
  if (last <= first) last = std::min(nfr, first + 1);

  pd::PitchPowers powers;
  pd::Disturbance d = pd::frame_disturbances(ref, deg, frame_delay, s, &powers);
  pd::realign_bad_intervals(ref, deg, frame_delay, first, last, s, d, &powers);
  PesqScore out;
  out.raw = pd::aggregate(d, first, last);
  out.mos_lqo = mode == PesqMode::wide_band ? pesq_mos_lqo_wide(out.raw) : pesq_mos_lqo_narrow(out.raw);
  return out;
}

}  // namespace

double pesq_mos_lqo_narrow(double raw) { return 0.999 + (4.999 - 0.999) / (1.0 + std::exp(-1.4945 * raw + 4.6607)); }

double pesq_mos_lqo_wide(double raw) { return 0.999 + (4.999 - 0.999) / (1.0 + std::exp(-1.3669 * raw + 3.8224)); }

PesqScore pesq(std::span<const double> reference, std::span<const double> degraded, int rate, PesqMode mode) {
  return run(checked_copy(reference, "reference"), checked_copy(degraded, "degraded"), rate, mode);
}

PesqScore pesq(std::span<const float> reference, std::span<const float> degraded, int rate, PesqMode mode) {
  return run(checked_copy(reference, "reference"), checked_copy(degraded, "degraded"), rate, mode);
}

}  // namespace vemio
