// Paired training corpora: every mixture is one row of a manifest (clean file, noise file, SNR,
// noise offset, speech level, optional room impulse response), rendered to a noisy file and
// its clean target. A row holds every number its rendering needs, so the bytes written depend
// on the row alone: not on the thread, the process, the machine or the order rows are taken.
//
// Rendering is resumable: each finished row is appended to a ledger in the output folder after
// both of its files are renamed into place; a later run skips the rows the ledger lists.
#pragma once

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <future>
#include <limits>
#include <list>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <unordered_map>
#include <vector>

#include "vemio/util/error.hpp"

namespace vemio::corpus {

namespace fs = std::filesystem;

// The early part of a room response kept in the target: the direct path and this much after it.
inline constexpr double kEarlySeconds = 0.050;
// Mixtures whose peak would pass this are scaled down (speech and noise together).
inline constexpr double kMaxPeak = 0.99;

// One mixture of a manifest.
struct Row {
  std::string name;  // file stem of out/noisy/<name>.wav and out/clean/<name>.wav
  fs::path clean;
  fs::path noise;
  fs::path rir;  // empty: dry speech
  double snr_db = 0;
  int64_t noise_offset = 0;                                    // first noise sample used, at `rate`
  double level_db = std::numeric_limits<double>::quiet_NaN();  // speech RMS in dBFS; NaN keeps the file's level
  int rate = 16000;
};

// What rendering a row measured and chose.
struct Result {
  double clean_gain = 0;    // factor applied to the (reverberant) speech
  double noise_gain = 0;    // factor applied to the noise segment
  double snr_measured = 0;  // dB, on the float64 signals before quantisation
  double peak = 0;          // largest magnitude of the mixture and the target, as written
  bool clipped_avoided = false;
};

// A row that cannot be rendered (bad values, silent signals, an offset that does not fit).
// what() names the row and the file.
class RowError : public Error {
 public:
  using Error::Error;
};

// "row <index> (<name>)", how messages name a row.
std::string row_label(size_t index, const std::string& name);

// ------------------------------------------------------------------ signal math

// Index of the direct path of a room response: its largest magnitude (the first one on ties).
size_t direct_path(std::span<const float> rir);

// Samples [begin, begin + count) of the full linear convolution x * h, by FFT (one transform
// length chosen from the sizes alone, so the result does not depend on anything else).
std::vector<double> convolve(std::span<const float> x, std::span<const float> h, size_t begin, size_t count);

// The speech heard in the mixture and the target, both as long as `clean` and aligned with it:
// dry, the clean signal (and `target` stays empty: it is the same); with a response, the speech is clean * rir and the
// target clean * (direct path + kEarlySeconds of the response), each shifted back by the direct path's delay.
struct Speech {
  std::vector<double> heard;
  std::vector<double> target;
};
Speech speech_of(std::span<const float> clean, std::span<const float> rir, int rate);
// The same into `s`, reusing its buffers.
void speech_into(std::span<const float> clean, std::span<const float> rir, int rate, Speech& s);

// The noise segment: `length` samples from `offset`; a noise shorter than `length` is repeated
// (from `offset`, wrapping around). Throws std::out_of_range when the offset does not fit.
std::vector<double> noise_segment(std::span<const float> noise, int64_t offset, size_t length);
void noise_segment_into(std::span<const float> noise, int64_t offset, size_t length, std::vector<double>& seg);

// Gains, checks and quantisation of one mixture.
struct Mixture {
  std::vector<int16_t> noisy, target;
  Result result;
};
// `level_db` NaN keeps the speech as it is; otherwise its RMS becomes level_db dBFS. The noise
// is scaled to sum(speech^2) / sum(noise^2) = 10^(snr/10); when the mixture or the target would
// peak above kMaxPeak, both gains shrink by one factor. Throws RowError for silent speech or
// a silent noise segment (`what` names the row for the message).
Mixture mix(const Speech& speech, std::span<const double> noise, double snr_db, double level_db,
            const std::string& what = "row");
// The same writing the 16-bit mixture and target to `noisy` and `target` (room for as many
// samples as the speech has). Dry speech may come as the decoded floats, with the noise
// segment as floats (a window of the decoded noise) or doubles (a repeated one): the numbers
// are those of mix() on the same values.
Result mix_pcm(const Speech& speech, std::span<const double> noise, double snr_db, double level_db,
               const std::string& what, int16_t* noisy, int16_t* target);
Result mix_pcm(std::span<const float> speech, std::span<const float> noise, double snr_db, double level_db,
               const std::string& what, int16_t* noisy, int16_t* target);
Result mix_pcm(std::span<const float> speech, std::span<const double> noise, double snr_db, double level_db,
               const std::string& what, int16_t* noisy, int16_t* target);

// ------------------------------------------------------------------ decoded waves

using Wave = std::shared_ptr<const std::vector<float>>;

// Decoded mono waves at a given rate shared by the rows of a process, least recently used
// dropped first beyond `budget_bytes`. A file is known by its path, rate, size and change time,
// so an edited file is decoded again. Concurrent requests for one file wait for one decode.
class WaveStore {
 public:
  explicit WaveStore(size_t budget_bytes = size_t(192) << 20) : budget_(budget_bytes) {}
  Wave get(const fs::path& file, int rate);
  size_t bytes_held() const;
  size_t decodes() const { return decodes_.load(); }

 private:
  struct Entry {
    std::string key;
    std::shared_future<Wave> wave;
    size_t bytes = 0;
  };
  void trim();

  mutable std::mutex mu_;
  std::list<Entry> lru_;  // most recent first
  std::unordered_map<std::string, std::list<Entry>::iterator> index_;
  size_t budget_;
  size_t held_ = 0;
  std::atomic<size_t> decodes_{0};
};

// ------------------------------------------------------------------ rows and files

// Folders of the output: out/noisy and out/clean.
fs::path noisy_path(const fs::path& out, const std::string& name);
fs::path clean_path(const fs::path& out, const std::string& name);
// The ledger of finished rows.
fs::path ledger_path(const fs::path& out);

// Lengths at `rate` of `files` from their headers alone, on up to `workers` threads. Throws
// FileError naming the file (also for a file without samples).
std::vector<int64_t> lengths_at(const std::vector<fs::path>& files, int rate, int workers);

// A file's stem reduced to what is safe in any file name (ASCII letters, digits, '-', '_';
// anything else becomes '-'), at most 40 characters.
std::string name_part(const fs::path& file);

// Why `name` cannot be a file stem, or empty.
std::string bad_name(const std::string& name);

// Checks before anything is written, for the rows to render: values in range, every input
// readable (headers), no empty noise or clean file, no silent clean file (decoded once each),
// offsets inside their noise. Throws RowError / FileError naming the row and the file. With
// `which`, only those rows (indices into `rows`) are checked.
void check_rows(const std::vector<Row>& rows, int workers, const std::vector<size_t>* which = nullptr);

// Renders one row: decode through `store`, mix, write both files atomically. Throws naming the
// row (`index` is its position in the manifest, for messages).
Result render_row(const Row& row, size_t index, const fs::path& out, WaveStore& store);

// A stable 64-bit digest of everything that decides a row's bytes (name included).
uint64_t row_key(const Row& row);

// Append-only record of finished rows, one line each, safe to share between threads and
// processes (one write per line, O_APPEND). Lines that do not parse (a torn last line of a
// killed run, interleaved writes on a network file system) are ignored when read.
class Ledger {
 public:
  explicit Ledger(const fs::path& file);
  ~Ledger();
  Ledger(const Ledger&) = delete;
  Ledger& operator=(const Ledger&) = delete;
  void append(const Row& row, const Result& r);

 private:
  fs::path file_;
  int fd_ = -1;
  std::mutex mu_;
};

struct LedgerEntry {
  uint64_t key = 0;
  Result result;
};
// The entries of a ledger by row name (the last line of a name wins); none when it is missing.
std::unordered_map<std::string, LedgerEntry> read_ledger(const fs::path& file);
// Cuts a torn last line (no newline) so that later lines start cleanly.
void repair_ledger(const fs::path& file);
// Removes the temporary files an interrupted atomic write left in `folder` ("*.tmp-<pid>-<n>");
// returns how many.
size_t remove_temporaries(const fs::path& folder);

// For each row: the ledger's result when the ledger lists it with the same key and both files
// exist; otherwise nothing (the row must be rendered).
std::vector<std::optional<Result>> finished_rows(const std::vector<Row>& rows, const fs::path& out);

}  // namespace vemio::corpus
