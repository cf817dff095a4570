#include "vemio/metrics/score.hpp"

#include <algorithm>
#include <cmath>
#include <exception>
#include <limits>
#include <stdexcept>

#include "vemio/audio/audio.hpp"
#include "vemio/metrics/bss.hpp"
#include "vemio/metrics/composite.hpp"
#include "vemio/metrics/intelligibility.hpp"
#include "vemio/metrics/pesq.hpp"

namespace vemio::metrics {
namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

struct Named {
  Measure m;
  std::string_view name;
};
constexpr Named kNames[] = {
    {Measure::pesq, "pesq"},
    {Measure::stoi, "stoi"},
    {Measure::estoi, "estoi"},
    {Measure::sdr, "sdr"},
    {Measure::si_sdr, "si_sdr"},
    {Measure::ssnr, "ssnr"},
    {Measure::fwsnrseg, "fwsnrseg"},
    {Measure::llr, "llr"},
    {Measure::wss, "wss"},
    {Measure::cepstral_distance, "cepstral_distance"},
    {Measure::composite, "composite"},
};

bool has(const std::vector<Measure>& ms, Measure m) { return std::find(ms.begin(), ms.end(), m) != ms.end(); }

void add_error(std::string& error, std::string_view what, const std::string& why) {
  if (!error.empty()) error += "; ";
  error.append(what);
  error += ": ";
  error += why;
}

// One measure's value, or nullopt with the reason recorded.
template <typename F>
std::optional<double> attempt(std::string& error, std::string_view what, F&& f) {
  try {
    return f();
  } catch (const std::exception& e) {
    add_error(error, what, e.what());
  }
  return std::nullopt;
}

}  // namespace

const std::vector<Measure>& all_measures() {
  static const std::vector<Measure> all = [] {
    std::vector<Measure> v;
    for (const Named& n : kNames) v.push_back(n.m);
    return v;
  }();
  return all;
}

std::string_view measure_name(Measure m) {
  for (const Named& n : kNames)
    if (n.m == m) return n.name;
  return "?";
}

std::optional<Measure> measure_from_name(std::string_view name) {
  for (const Named& n : kNames)
    if (n.name == name) return n.m;
  return std::nullopt;
}

std::vector<std::string> columns(const std::vector<Measure>& measures) {
  std::vector<std::string> out;
  for (Measure m : measures) {
    if (m == Measure::composite) {
      out.insert(out.end(), {"csig", "cbak", "covl"});
    } else {
      out.emplace_back(measure_name(m));
    }
  }
  return out;
}

std::string unsupported_reason(Measure m, int rate) {
  if ((m == Measure::pesq || m == Measure::composite) && rate != 8000 && rate != 16000)
    return "needs a sampling rate of 8000 or 16000 Hz, not " + std::to_string(rate) + " Hz";
  return {};
}

PairScore score_pair(std::span<const double> reference, std::span<const double> degraded, int rate,
                     const std::vector<Measure>& measures) {
  const size_t n = std::min(reference.size(), degraded.size());
  const auto ref = reference.first(n), deg = degraded.first(n);
  PairScore out;
  std::string& err = out.error;

  // Pieces the composite shares with the single measures, each computed at most once.
  const bool comp = has(measures, Measure::composite) && unsupported_reason(Measure::composite, rate).empty();
  std::optional<PesqScore> pesq_score;
  bool pesq_tried = false;
  auto get_pesq = [&]() -> std::optional<PesqScore> {
    if (!pesq_tried) {
      pesq_tried = true;
      try {
        pesq_score = vemio::pesq(ref, deg, rate, rate == 16000 ? PesqMode::wide_band : PesqMode::narrow_band);
      } catch (const std::exception& e) {
        add_error(err, "pesq", e.what());
      }
    }
    return pesq_score;
  };
  std::optional<double> ssnr_v, wss_v;
  bool ssnr_tried = false, wss_tried = false;
  auto get_ssnr = [&] {
    if (!ssnr_tried) ssnr_tried = true, ssnr_v = attempt(err, "ssnr", [&] { return ssnr(ref, deg, rate); });
    return ssnr_v;
  };
  auto get_wss = [&] {
    if (!wss_tried) wss_tried = true, wss_v = attempt(err, "wss", [&] { return wss(ref, deg, rate); });
    return wss_v;
  };

  for (Measure m : measures) {
    const std::string why = unsupported_reason(m, rate);
    if (!why.empty()) {
      add_error(err, measure_name(m), why);
      out.values.insert(out.values.end(), m == Measure::composite ? 3 : 1, kNaN);
      continue;
    }
    std::optional<double> v;
    switch (m) {
      case Measure::pesq:
        if (auto p = get_pesq()) v = p->mos_lqo;
        break;
      case Measure::stoi:
        v = attempt(err, "stoi", [&] { return stoi(ref, deg, rate, false); });
        break;
      case Measure::estoi:
        v = attempt(err, "estoi", [&] { return stoi(ref, deg, rate, true); });
        break;
      case Measure::sdr:
        v = attempt(err, "sdr", [&] { return sdr(ref, deg); });
        break;
      case Measure::si_sdr:
        v = attempt(err, "si_sdr", [&] { return si_sdr(ref, deg); });
        break;
      case Measure::ssnr:
        v = get_ssnr();
        break;
      case Measure::fwsnrseg:
        v = attempt(err, "fwsnrseg", [&] { return fwsnrseg(ref, deg, rate); });
        break;
      case Measure::llr:
        v = attempt(err, "llr", [&] { return llr(ref, deg, rate); });
        break;
      case Measure::wss:
        v = get_wss();
        break;
      case Measure::cepstral_distance:
        v = attempt(err, "cepstral_distance", [&] { return cepstral_distance(ref, deg, rate); });
        break;
      case Measure::composite: {
        // the composite's PESQ: raw narrow-band score at 8 kHz, wide-band MOS-LQO at 16 kHz
        auto p = get_pesq();
        auto l = attempt(err, "composite", [&] { return llr_unclipped(ref, deg, rate); });
        auto w = get_wss();
        auto s = get_ssnr();
        if (comp && p && l && w && s) {
          const Composite c = composite_from(rate == 16000 ? p->mos_lqo : p->raw, *l, *w, *s);
          out.values.insert(out.values.end(), {c.csig, c.cbak, c.covl});
        } else {
          out.values.insert(out.values.end(), 3, kNaN);
        }
        continue;
      }
    }
    out.values.push_back(v ? *v : kNaN);
  }
  return out;
}

PairScore score_files(const std::filesystem::path& reference, const std::filesystem::path& degraded,
                      const std::vector<Measure>& measures) {
  auto fail = [&](const std::string& why) {
    PairScore out;
    out.values.assign(columns(measures).size(), kNaN);
    out.error = why;
    return out;
  };
  audio::Decoded r, d;
  try {
    r = audio::decode(reference, 0, true);
    d = audio::decode(degraded, 0, true);
  } catch (const std::exception& e) {
    return fail(e.what());
  }
  if (r.rate != d.rate)
    return fail(degraded.string() + ": sampling rate " + std::to_string(d.rate) + " Hz differs from the reference " +
                reference.string() + " (" + std::to_string(r.rate) + " Hz)");
  const std::vector<double> ref(r.samples.begin(), r.samples.end());
  const std::vector<double> deg(d.samples.begin(), d.samples.end());
  PairScore out = score_pair(ref, deg, r.rate, measures);
  if (!out.error.empty()) out.error = degraded.string() + ": " + out.error;
  return out;
}

}  // namespace vemio::metrics
