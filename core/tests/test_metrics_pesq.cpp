#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <complex>
#include <initializer_list>
#include <numbers>
#include <random>
#include <thread>
#include <utility>
#include <vector>

#include "vemio/metrics/pesq.hpp"
#include "metrics/pesq_detail.hpp"
#include "vemio/util/fft.hpp"

using vemio::PesqError;
using vemio::PesqMode;

namespace {

// Speech-like test signal: voiced syllables (harmonics of a gliding pitch under a raised-cosine
// envelope) separated by pauses, with a faint noise floor.
std::vector<double> speechlike(int rate, double seconds, unsigned seed) {
  std::mt19937 rng(seed);
  std::normal_distribution<double> g;
  std::uniform_real_distribution<double> u(0.0, 1.0);
  const size_t n = static_cast<size_t>(seconds * rate);
  std::vector<double> x(n, 0.0);
  size_t t = static_cast<size_t>(0.3 * rate);
  while (t < n - static_cast<size_t>(0.4 * rate)) {
    const size_t len = static_cast<size_t>((0.15 + 0.25 * u(rng)) * rate);
    const double f0 = 100.0 + 120.0 * u(rng);
    double phase = 0;
    for (size_t i = 0; i < len && t + i < n; ++i) {
      const double env = 0.5 - 0.5 * std::cos(2.0 * std::numbers::pi * i / len);
      const double f = f0 * (1.0 + 0.2 * double(i) / len);
      phase += 2.0 * std::numbers::pi * f / rate;
      double v = 0;
      for (int h = 1; h * f < 0.45 * rate; ++h) v += std::sin(h * phase) / h;
      x[t + i] = 3000.0 * env * v;
    }
    t += len + static_cast<size_t>((0.05 + 0.3 * u(rng)) * rate);
  }
  for (double& v : x) v += 2.0 * g(rng);
  return x;
}

// Unvoiced "speech" at 8000 Hz: noise under a syllable envelope of the given rate inside the
// bursts [a, b), a faint noise floor outside them.
std::vector<double> unvoiced(size_t n, unsigned seed, double syllables_hz,
                             std::initializer_list<std::pair<size_t, size_t>> bursts) {
  std::mt19937 rng(seed);
  std::normal_distribution<double> g;
  std::vector<double> x(n);
  for (size_t i = 0; i < n; ++i) {
    bool speech = false;
    for (const auto& [a, b] : bursts) speech = speech || (i > a && i < b);
    const double env = 0.6 + 0.4 * std::sin(2.0 * std::numbers::pi * syllables_hz * i / 8000.0);
    x[i] = (speech ? 2000.0 * env : 2.0) * g(rng);
  }
  return x;
}

std::vector<double> add_noise(const std::vector<double>& x, double snr_db, unsigned seed) {
  std::mt19937 rng(seed);
  std::normal_distribution<double> g;
  double p = 0;
  for (double v : x) p += v * v;
  p /= double(x.size());
  const double sd = std::sqrt(p / std::pow(10.0, snr_db / 10.0));
  std::vector<double> y = x;
  for (double& v : y) v += sd * g(rng);
  return y;
}

PesqError::Kind error_kind(const std::vector<double>& r, const std::vector<double>& d, int rate, PesqMode mode) {
  try {
    vemio::pesq(r, d, rate, mode);
  } catch (const PesqError& e) {
    return e.kind();
  }
  ADD_FAILURE() << "no PesqError thrown";
  return PesqError::Kind::invalid_input;
}

}  // namespace

TEST(Pesq, MappingsMatchTheirPublishedEnds) {
  // A perfect pair (raw 4.5) maps to the top of each listening-quality scale.
  EXPECT_NEAR(vemio::pesq_mos_lqo_narrow(4.5), 4.5486, 1e-4);
  EXPECT_NEAR(vemio::pesq_mos_lqo_wide(4.5), 4.6439, 1e-4);
  EXPECT_NEAR(vemio::pesq_mos_lqo_narrow(-0.5), 1.0175, 1e-3);
  EXPECT_LT(vemio::pesq_mos_lqo_narrow(2.0), vemio::pesq_mos_lqo_narrow(3.0));
}

TEST(Pesq, BandLayoutCoversTheSpectrumContiguously) {
  for (auto [rate, mode, bands] :
       {std::tuple{8000, PesqMode::narrow_band, 42}, std::tuple{16000, PesqMode::narrow_band, 49},
        std::tuple{16000, PesqMode::wide_band, 49}}) {
    const auto s = vemio::pesq_detail::make_setup(rate, mode);
    ASSERT_EQ(s.bands(), bands);
    int next = 0;
    for (int b = 0; b < s.bands(); ++b) {
      EXPECT_EQ(s.first_bin[b], next);
      EXPECT_GE(s.bin_count[b], 1);
      EXPECT_GT(s.width_bark[b], 0);
      if (b > 0) {
        EXPECT_GT(s.centre_bark[b], s.centre_bark[b - 1]);
      }
      next += s.bin_count[b];
    }
    EXPECT_LE(next, s.nfft / 2 + 1);
  }
}

TEST(Pesq, BandTablesAreCalibrated) {
  // A 1000 Hz sine of amplitude 29.54 (40 dB SPL) under the Hann window has a pitch power
  // density of 1e4 in its band and a total loudness of 1 sone, at both rates.
  for (auto [rate, mode] : {std::pair{8000, PesqMode::narrow_band}, std::pair{16000, PesqMode::wide_band}}) {
    const auto s = vemio::pesq_detail::make_setup(rate, mode);
    vemio::fft::RealFFT<double> f(s.nfft);
    std::vector<double> x(s.nfft);
    for (int i = 0; i < s.nfft; ++i)
      x[i] = (0.5 - 0.5 * std::cos(2.0 * std::numbers::pi * i / s.nfft)) * 29.54 *
             std::sin(2.0 * std::numbers::pi * 1000.0 * i / rate);
    std::vector<std::complex<double>> X(s.nfft / 2 + 1);
    f.forward(x, X);
    double peak = 0, sones = 0;
    for (int b = 0; b < s.bands(); ++b) {
      double sum = 0;
      for (int k = s.first_bin[b]; k < s.first_bin[b] + s.bin_count[b]; ++k) sum += std::norm(X[k]);
      const double p = s.power_factor[b] * sum, p0 = s.threshold[b], g = s.exponent[b];
      peak = std::max(peak, p);
      if (p > p0)
        sones += s.loudness_scale * std::pow(p0 / 0.5, g) * (std::pow(0.5 + 0.5 * p / p0, g) - 1.0) * s.width_bark[b];
    }
    EXPECT_NEAR(peak, 1e4, 1.0) << rate;
    EXPECT_NEAR(sones, 1.0, 1e-3) << rate;
  }
}

TEST(Pesq, IdenticalSignalsScoreTheMaximum) {
  const auto x = speechlike(8000, 3.0, 1);
  auto nb = vemio::pesq(x, x, 8000, PesqMode::narrow_band);
  EXPECT_NEAR(nb.raw, 4.5, 1e-9);
  EXPECT_NEAR(nb.mos_lqo, vemio::pesq_mos_lqo_narrow(4.5), 1e-12);
  const auto y = speechlike(16000, 3.0, 2);
  auto wb = vemio::pesq(y, y, 16000, PesqMode::wide_band);
  EXPECT_NEAR(wb.raw, 4.5, 1e-9);
  EXPECT_NEAR(wb.mos_lqo, vemio::pesq_mos_lqo_wide(4.5), 1e-12);
}

TEST(Pesq, SteadySoundBetweenDigitalSilenceIsSpeech) {
  // A steady harmonic sound with exact zeros before and after: the activity threshold must
  // stay below the sound, in both modes.
  for (auto [rate, mode] : {std::pair{8000, PesqMode::narrow_band}, std::pair{16000, PesqMode::wide_band}}) {
    std::vector<double> x(3 * rate, 0.0);
    for (int i = rate * 3 / 10; i < rate * 27 / 10; ++i)
      for (int h = 1; h * 140.0 < 0.45 * rate; ++h)
        x[i] += 3000.0 * std::sin(2.0 * std::numbers::pi * h * 140.0 * i / rate + h * h) / h;
    EXPECT_NEAR(vemio::pesq(x, x, rate, mode).raw, 4.5, 1e-9) << rate;
  }
}

TEST(Pesq, LevelAndDelayAreCompensated) {
  const auto x = speechlike(8000, 3.0, 3);
  const auto noisy = add_noise(x, 15.0, 4);
  const double base = vemio::pesq(x, noisy, 8000, PesqMode::narrow_band).mos_lqo;
  // 100 ms later and 12 dB quieter: nearly the same score.
  std::vector<double> shifted(800, 0.0);
  for (double v : noisy) shifted.push_back(v / 4.0);
  const double moved = vemio::pesq(x, shifted, 8000, PesqMode::narrow_band).mos_lqo;
  EXPECT_NEAR(moved, base, 0.1);
}

TEST(Pesq, MoreNoiseScoresLower) {
  const auto x = speechlike(16000, 3.0, 5);
  double last = 5.0;
  for (double snr : {30.0, 15.0, 5.0, -5.0}) {
    const double s = vemio::pesq(x, add_noise(x, snr, 6), 16000, PesqMode::wide_band).mos_lqo;
    EXPECT_LT(s, last) << "snr " << snr;
    EXPECT_GE(s, 0.999);
    last = s;
  }
}

// Deep in noise the score must not hinge on the exact noise draw or on a delay of a few
// samples: neither is audible, yet an unstable alignment or utterance detection can turn such
// neighbours into scores a whole MOS point apart.
TEST(Pesq, DeepNoiseScoreIsStableUnderInaudibleChanges) {
  const auto x = speechlike(8000, 3.0, 21);
  double lo = 5.0, hi = 0.0;
  for (unsigned seed : {31u, 32u, 33u}) {
    const auto noisy = add_noise(x, -5.0, seed);
    for (int shift : {0, 1, 5, 8, 32}) {
      std::vector<double> d(static_cast<size_t>(shift), 0.0);
      d.insert(d.end(), noisy.begin(), noisy.end() - shift);
      const double s = vemio::pesq(x, d, 8000, PesqMode::narrow_band).mos_lqo;
      lo = std::min(lo, s);
      hi = std::max(hi, s);
    }
  }
  EXPECT_LT(hi - lo, 0.05) << "scores from " << lo << " to " << hi;
  EXPECT_LT(hi, 1.6);  // and it is a poor score
}

TEST(Pesq, RefusesWhatItCannotScore) {
  const auto x = speechlike(8000, 2.0, 7);
  EXPECT_EQ(error_kind(x, x, 44100, PesqMode::narrow_band), PesqError::Kind::invalid_rate);
  EXPECT_EQ(error_kind(x, x, 8000, PesqMode::wide_band), PesqError::Kind::invalid_mode);
  const std::vector<double> short_x(x.begin(), x.begin() + 1000);
  EXPECT_EQ(error_kind(short_x, short_x, 8000, PesqMode::narrow_band), PesqError::Kind::too_short);
  EXPECT_EQ(error_kind(x, {}, 8000, PesqMode::narrow_band), PesqError::Kind::too_short);
  const std::vector<double> zeros(16000, 0.0);
  EXPECT_EQ(error_kind(zeros, zeros, 8000, PesqMode::narrow_band), PesqError::Kind::no_utterances);
  // A silent degraded signal is scored, at the bottom of the scale.
  const std::vector<double> silent(x.size(), 0.0);
  EXPECT_LT(vemio::pesq(x, silent, 8000, PesqMode::narrow_band).mos_lqo, 2.0);
  // A lone 100 ms burst is too short to be an utterance.
  std::vector<double> burst(16000, 0.0);
  for (int i = 8000; i < 8800; ++i) burst[i] = 1000.0 * std::sin(0.3 * i);
  EXPECT_EQ(error_kind(burst, burst, 8000, PesqMode::narrow_band), PesqError::Kind::no_utterances);
  auto bad = x;
  bad[100] = std::nan("");
  EXPECT_EQ(error_kind(x, bad, 8000, PesqMode::narrow_band), PesqError::Kind::invalid_input);
  try {
    vemio::pesq(zeros, zeros, 8000, PesqMode::narrow_band);
  } catch (const PesqError& e) {
    EXPECT_STREQ(e.what(), "no utterances detected");
  }
}

TEST(Pesq, ThreadsGiveTheSerialResults) {
  std::vector<std::vector<double>> refs, degs;
  for (unsigned i = 0; i < 4; ++i) {
    refs.push_back(speechlike(8000, 2.5, 10 + i));
    degs.push_back(add_noise(refs.back(), 5.0 + 5.0 * i, 20 + i));
  }
  std::vector<double> serial(4), threaded(4);
  for (int i = 0; i < 4; ++i) serial[i] = vemio::pesq(refs[i], degs[i], 8000, PesqMode::narrow_band).raw;
  std::vector<std::thread> pool;
  for (int i = 0; i < 4; ++i)
    pool.emplace_back([&, i] { threaded[i] = vemio::pesq(refs[i], degs[i], 8000, PesqMode::narrow_band).raw; });
  for (auto& t : pool) t.join();
  EXPECT_EQ(serial, threaded);
}

// The delay of x against y in samples over the utterance [2400, end) of x, as pieces.
std::vector<vemio::pesq_detail::Piece> pieces_of(const std::vector<double>& x, const std::vector<double>& y,
                                                 const vemio::pesq_detail::Setup& s, int end = 29600) {
  namespace pd = vemio::pesq_detail;
  const auto ra = pd::detect_activity(x, s.env_frame);
  const auto da = pd::detect_activity(y, s.env_frame);
  const pd::Utterance u{2400 / s.env_frame, end / s.env_frame, 0, 0};
  return pd::split_utterance(x, y, ra, da, u, 0, 75, s);
}

std::vector<double> slipped(const std::vector<double>& x, size_t at, size_t samples) {
  std::vector<double> y(x.begin(), x.begin() + static_cast<long>(at));
  y.insert(y.end(), samples, 0.0);
  y.insert(y.end(), x.begin() + static_cast<long>(at), x.end());
  return y;
}

TEST(Pesq, DelayChangeInsideAnUtteranceSplitsIt) {
  const auto s = vemio::pesq_detail::make_setup(8000, PesqMode::narrow_band);
  // Continuous unvoiced "speech" (noise under a syllable envelope, pauses under 100 ms, so
  // one utterance); the degraded copy slips by 20 ms halfway.
  const auto x = unvoiced(32000, 30, 4.0, {{2400, 29600}});
  const size_t cut = x.size() / 2;
  const auto y = slipped(x, cut, 160);
  const auto pieces = pieces_of(x, y, s);
  ASSERT_GE(pieces.size(), 2u);
  EXPECT_EQ(pieces.front().delay.delay, 0);
  EXPECT_EQ(pieces.back().delay.delay, 160);
  // Without the slip the whole range agrees on one delay and stays in one piece.
  const auto same = pieces_of(x, x, s);
  ASSERT_EQ(same.size(), 1u);
  EXPECT_EQ(same[0].delay.delay, 0);
  // A slip shorter than one envelope frame (2 ms) is not a delay change worth a cut.
  EXPECT_EQ(pieces_of(x, slipped(x, cut, 16), s).size(), 1u);
  // And the score of the slipped copy stays close to that of a clean copy.
  EXPECT_GT(vemio::pesq(x, y, 8000, PesqMode::narrow_band).mos_lqo, 4.0);
}

TEST(Pesq, TwoSlipsInALongUtteranceGiveThreePieces) {
  // 12 s of continuous unvoiced "speech" slipping by 20 ms at a third and again at two
  // thirds: the cut sweeps meet several envelope lags on either side, and the second-level
  // splits sweep inside the first one's parts.
  const auto s = vemio::pesq_detail::make_setup(8000, PesqMode::narrow_band);
  const int end = 93600;
  const auto x = unvoiced(96000, 31, 3.3, {{2400, end}});
  const auto y = slipped(slipped(x, 32000, 160), 64000 + 160, 160);
  const auto pieces = pieces_of(x, y, s, end);
  // Pieces may repeat a delay (a part cut between the slips); what counts is where the
  // delay changes, and to what.
  std::vector<std::pair<int, int>> changes;  // (reference sample, new delay)
  for (const auto& p : pieces)
    if (changes.empty() || p.delay.delay != changes.back().second)
      changes.emplace_back(p.env_start * s.env_frame, p.delay.delay);
  ASSERT_EQ(changes.size(), 3u);
  const int want[] = {0, 160, 320};
  const int at[] = {2400, 32000, 64000};
  for (size_t k = 0; k < 3; ++k) {
    EXPECT_EQ(changes[k].second, want[k]) << k;
    // Each change lies within one 64 ms alignment frame of its slip.
    EXPECT_NEAR(changes[k].first, at[k], 512) << k;
  }
}

TEST(Pesq, DelayJumpingBetweenUtterancesIsFollowed) {
  // Two bursts of unvoiced "speech" a second apart; in the degraded copy the second one comes
  // 600 ms late (a jitter buffer growing between two sentences). Each utterance is aligned on
  // its own, so the copy scores as well as an undelayed one.
  const size_t second = 28000, jump = 4800;
  const auto x = unvoiced(48000, 32, 4.0, {{2400, 20000}, {second, 44000}});
  std::vector<double> y(x.size() + jump, 0.0);
  std::copy(x.begin(), x.begin() + static_cast<long>(second), y.begin());
  std::copy(x.begin() + static_cast<long>(second), x.end(), y.begin() + static_cast<long>(second + jump));
  const double clean = vemio::pesq(x, x, 8000, PesqMode::narrow_band).mos_lqo;
  EXPECT_GT(vemio::pesq(x, y, 8000, PesqMode::narrow_band).mos_lqo, clean - 0.2);
}

TEST(Pesq, PitchAliasedEnvelopeLagFallsBackOnTheFileLag) {
  // Strongly voiced speech (a pulse train wandering around 100 Hz through a formant, under
  // a syllable envelope) delayed by 130 ms, half an envelope frame off the frame grid: the
  // envelope carries the pitch pulses, so its correlation peaks every 10 ms and an
  // utterance's own lag can land a pitch period off. Aligned around the file's lag the
  // frames agree fully.
  const auto s = vemio::pesq_detail::make_setup(8000, PesqMode::narrow_band);
  namespace pd = vemio::pesq_detail;
  std::vector<double> x(32000, 0.0);
  double y1 = 0, y2 = 0, phase = 0;
  for (size_t i = 2400; i < 29600; ++i) {
    const double f0 = 100.0 + 12.0 * std::sin(2.0 * std::numbers::pi * 0.8 * i / 8000.0);
    phase += f0 / 8000.0;
    const double pulse = phase >= 1.0 ? 1.0 : 0.0;
    if (phase >= 1.0) phase -= 1.0;
    const double v = pulse + 1.6 * y1 - 0.9 * y2;  // resonance near 700 Hz
    y2 = y1;
    y1 = v;
    const double env = 0.55 + 0.45 * std::sin(2.0 * std::numbers::pi * 3.0 * i / 8000.0);
    x[i] = 3000.0 * env * v;
  }
  const size_t d = 1040;  // 130 ms = 32.5 envelope frames
  std::vector<double> y(x.size() + d, 0.0);
  std::copy(x.begin(), x.end(), y.begin() + static_cast<long>(d));
  const auto ra = pd::detect_activity(x, s.env_frame);
  const auto da = pd::detect_activity(y, s.env_frame);
  const pd::Utterance u{2400 / s.env_frame, 29600 / s.env_frame, 0, 0};
  // Its own envelope lag is a pitch alias here: around it the frames split into pieces at
  // alias delays.
  for (int file_lag : {32, 33}) {
    const auto pieces = pd::split_utterance(x, y, ra, da, u, file_lag, 75, s);
    ASSERT_EQ(pieces.size(), 1u) << file_lag;
    EXPECT_EQ(pieces[0].delay.delay, static_cast<int>(d)) << file_lag;
    EXPECT_GT(pieces[0].delay.confidence, 0.9) << file_lag;
  }
}

TEST(Pesq, VoicedSpeechSlippingBySeveralPitchPeriodsIsRealigned) {
  // A voiced sound (harmonics of a wandering pitch around 110 Hz under a syllable envelope)
  // slips by 20 ms halfway. The windowed frame correlations around the first half's delay
  // peak a whole number of pitch periods off, so the second half must be aligned on its own
  // envelope.
  for (int rate : {8000, 16000}) {
    std::vector<double> x(static_cast<size_t>(4 * rate), 0.0);
    double phase = 0;
    for (size_t i = static_cast<size_t>(rate) * 3 / 10; i < x.size() - rate * 3 / 10; ++i) {
      const double t = double(i) / rate;
      const double f0 = 110.0 + 25.0 * std::sin(2.0 * std::numbers::pi * 0.7 * t);
      phase += 2.0 * std::numbers::pi * f0 / rate;
      const double env = 0.55 + 0.45 * std::sin(2.0 * std::numbers::pi * 3.0 * t);
      double v = 0;
      for (int h = 1; h * 135 < rate / 2 - 200; ++h) v += std::sin(h * phase + 0.3 * h) / h;
      x[i] = 2000.0 * env * v;
    }
    const auto y = slipped(x, x.size() / 2, static_cast<size_t>(rate / 50));
    const PesqMode mode = rate == 8000 ? PesqMode::narrow_band : PesqMode::wide_band;
    const double clean = vemio::pesq(x, x, rate, mode).mos_lqo;
    EXPECT_GT(vemio::pesq(x, y, rate, mode).mos_lqo, clean - 1.0) << rate;
  }
}

TEST(Pesq, AggregationWeighsTheLastFramesLikeTheOthers) {
  // One disturbed frame: at the end of the scored span it must count as much as in the middle
  // (every frame lies in two overlapping split-second intervals).
  namespace pd = vemio::pesq_detail;
  const int n = 100;
  pd::Disturbance mid{std::vector<double>(n, 0.0), std::vector<double>(n, 0.0)};
  pd::Disturbance end = mid;
  mid.sym[55] = mid.asym[55] = 10.0;
  end.sym[n - 1] = end.asym[n - 1] = 10.0;
  EXPECT_NEAR(pd::aggregate(end, 0, n), pd::aggregate(mid, 0, n), 1e-12);
  EXPECT_LT(pd::aggregate(end, 0, n), 4.5 - 1e-3);
  // A span that is not a whole number of half intervals: the frame is still counted twice.
  pd::Disturbance odd{std::vector<double>(n, 0.0), std::vector<double>(n, 0.0)};
  odd.sym[93] = odd.asym[93] = 10.0;
  pd::Disturbance odd_mid = odd;
  odd_mid.sym[93] = odd_mid.asym[93] = 0.0;
  odd_mid.sym[45] = odd_mid.asym[45] = 10.0;
  EXPECT_NEAR(pd::aggregate(odd, 0, 95), pd::aggregate(odd_mid, 0, 95), 1e-12);
  // Undisturbed frames dilute the file's disturbance by the intervals they start: 95 and 100
  // frames both start ten intervals, 101 frames start eleven.
  const double d100 = 4.5 - pd::aggregate(mid, 0, n);
  const double d95 = 4.5 - pd::aggregate(mid, 0, 95);
  pd::Disturbance longer{std::vector<double>(n + 1, 0.0), std::vector<double>(n + 1, 0.0)};
  longer.sym[55] = longer.asym[55] = 10.0;
  const double d101 = 4.5 - pd::aggregate(longer, 0, n + 1);
  EXPECT_NEAR(d95, d100, 1e-12);
  EXPECT_NEAR(d100 / d101, std::sqrt(11.0 / 10.0), 1e-9);
}

TEST(Pesq, BadIntervalsAreRealignedOnlyWhereThatHelps) {
  // A stretch of the degraded speech lags by 100 ms while the frames around it do not, as
  // after a buffer glitch; the per-frame delays miss it, so its frames score badly until the
  // bad interval is realigned.
  namespace pd = vemio::pesq_detail;
  for (int rate : {8000, 16000}) {
    const PesqMode mode = rate == 8000 ? PesqMode::narrow_band : PesqMode::wide_band;
    const auto s = pd::make_setup(rate, mode);
    auto x = speechlike(rate, 3.0, 41);
    auto y = x;
    const size_t lag = static_cast<size_t>(0.1 * rate);
    const size_t a = static_cast<size_t>(1.2 * rate), b = static_cast<size_t>(1.6 * rate);
    for (size_t i = a; i < b; ++i) y[i] = x[i - lag];
    pd::align_level(x, s);
    pd::align_level(y, s);
    pd::input_filter(x, s);
    pd::input_filter(y, s);
    const int nfr = static_cast<int>((x.size() - s.nfft) / s.hop) + 1;
    const std::vector<int> delays(nfr, 0);

    const pd::Disturbance before = pd::frame_disturbances(x, y, delays, s);
    pd::Disturbance after = before;
    ASSERT_GE(pd::realign_bad_intervals(x, y, delays, 0, nfr, s, after), 1) << rate;
    // Only frames of the lagging stretch change, never for the worse, and a run of them
    // (at least the minimum six) loses most of its disturbance.
    int improved = 0;
    for (int f = 0; f < nfr; ++f) {
      EXPECT_LE(after.sym[f], before.sym[f]) << rate << " frame " << f;
      if (after.sym[f] == before.sym[f]) continue;
      EXPECT_GT(f * s.hop + s.nfft, static_cast<int>(a)) << rate << " frame " << f;
      EXPECT_LT(f * s.hop, static_cast<int>(b)) << rate << " frame " << f;
      if (after.sym[f] < before.sym[f] / 3) ++improved;
    }
    EXPECT_GE(improved, 6) << rate;
    EXPECT_GT(pd::aggregate(after, 0, nfr), pd::aggregate(before, 0, nfr) + 0.2) << rate;

    // Nothing bad, nothing realigned: an identical copy keeps its disturbances.
    pd::Disturbance clean = pd::frame_disturbances(x, x, delays, s);
    const pd::Disturbance kept = clean;
    EXPECT_EQ(pd::realign_bad_intervals(x, x, delays, 0, nfr, s, clean), 0);
    EXPECT_EQ(clean.sym, kept.sym);
    // A run of bad frames shorter than the minimum is left as it is, as are frames outside
    // the scored span.
    pd::Disturbance short_run = kept;
    for (int f = 40; f < 45; ++f) short_run.sym[f] = 45.0;  // five frames, one short
    const pd::Disturbance short_kept = short_run;
    EXPECT_EQ(pd::realign_bad_intervals(x, x, delays, 0, nfr, s, short_run), 0);
    EXPECT_EQ(short_run.sym, short_kept.sym);
    // The asymmetric part counts: frames under the threshold on their symmetric part alone
    // are bad with it. A run still bad where the scored span ends is left alone.
    pd::Disturbance heavy = kept;
    const int fa = static_cast<int>(a / s.hop) + 2, fb = static_cast<int>(b / s.hop) - 2;
    for (int f = fa; f < fb; ++f) heavy.sym[f] = 25.0, heavy.asym[f] = 45.0;
    pd::Disturbance open_end = heavy;
    EXPECT_GE(pd::realign_bad_intervals(x, y, delays, 0, nfr, s, heavy), 1) << rate;
    EXPECT_LT(heavy.sym[(fa + fb) / 2], 25.0) << rate;
    EXPECT_EQ(pd::realign_bad_intervals(x, y, delays, 0, fb, s, open_end), 0) << rate;
    pd::Disturbance outside = before;
    EXPECT_EQ(pd::realign_bad_intervals(x, y, delays, 0, static_cast<int>(a / s.hop) - 4, s, outside), 0);
  }
}
