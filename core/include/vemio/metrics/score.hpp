// Scoring one pair with several measures at once: the piece the batch scorer runs on each
// worker. Each measure is computed once even when several outputs need it (the composite
// reuses the PESQ, LLR, WSS and segmental SNR of the same pair).
#pragma once

#include <filesystem>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace vemio::metrics {

enum class Measure { pesq, stoi, estoi, sdr, si_sdr, ssnr, fwsnrseg, llr, wss, cepstral_distance, composite };

// Every measure, in column order, and the name each goes by.
const std::vector<Measure>& all_measures();
std::string_view measure_name(Measure m);
std::optional<Measure> measure_from_name(std::string_view name);

// Output columns of a measure list: one per measure, csig/cbak/covl for the composite.
std::vector<std::string> columns(const std::vector<Measure>& measures);

// Why `m` cannot be computed at `rate` (empty when it can): PESQ and the composite need 8 or
// 16 kHz.
std::string unsupported_reason(Measure m, int rate);

struct PairScore {
  std::vector<double> values;  // one per column; NaN where the measure failed
  std::string error;           // empty, or each failure as "<measure>: <reason>", joined by "; "
};

// Scores `degraded` against `reference` (cut to the shorter length) at `rate`. A measure that
// fails leaves NaN in its columns and its reason in `error`; the others are still computed.
// PESQ is the wide-band MOS-LQO at 16 kHz and the narrow-band MOS-LQO at 8 kHz.
PairScore score_pair(std::span<const double> reference, std::span<const double> degraded, int rate,
                     const std::vector<Measure>& measures);

// Reads both files with the core reader (channels averaged) and scores them; a file that
// cannot be read, or a rate mismatch, gives NaN everywhere and a message naming the file.
// Failures of single measures name the degraded file.
PairScore score_files(const std::filesystem::path& reference, const std::filesystem::path& degraded,
                      const std::vector<Measure>& measures);

}  // namespace vemio::metrics
