// Noisy-speech synthesis: mixing one clean utterance with a noise recording at a target SNR,
// and rendering whole job lists to 16-bit WAV files on a few threads.
//
// Randomness never lives here: the caller draws each job's noise offset (in job order, from
// whatever generator it owns) and hands it in, so a batch renders the same bytes whatever the
// thread count.
#pragma once

#include <atomic>
#include <cstddef>
#include <chrono>
#include <cstdint>
#include <exception>
#include <filesystem>
#include <future>
#include <memory>
#include <mutex>
#include <span>
#include <stdexcept>
#include <string>
#include <unordered_map>
#include <vector>

#include "vemio/util/atomic_file.hpp"
#include "vemio/util/pool.hpp"

namespace vemio::synth {

namespace fs = std::filesystem;

// Every file is decoded at this rate, and every mixture is written at it.
inline constexpr int kRate = 16000;

// Input that cannot be mixed (an empty file, a silent or constant noise segment, an offset
// that does not fit). what() names the file(s).
class MixError : public std::invalid_argument {
 public:
  using std::invalid_argument::invalid_argument;
};

// Number of samples `file` decodes to at kRate, from its header alone.
int64_t length_at_rate(const fs::path& file);

// Where the noise segment of a job starts.
//  - noise shorter than the clean signal: the noise is repeated from sample 0 (offset 0);
//  - noise exactly as long: used whole (offset 0);
//  - noise longer: the caller draws the offset uniformly from 1 .. Ln - Lc.
// needs_offset_draw() tells whether a draw is wanted; the bounds are [1, Ln - Lc] inclusive.
inline bool needs_offset_draw(int64_t clean_len, int64_t noise_len) { return noise_len > clean_len; }

// Mixes `clean` with the noise segment that starts at `offset` (or with the repeated noise
// when the noise is shorter), scaled so that clean power / noise power = 10^(snr/10).
// The segment has its mean removed and is scaled by sqrt(P_clean / 10^(snr/10)) / std, std
// being the population standard deviation. All arithmetic in double; the result is converted
// to 16 bits (x32767, saturated, truncated toward zero). With noise_only the clean signal is
// left out and the noise keeps the level it would have in the mix.
// `clean_name` and `noise_name` only feed error messages.
std::vector<int16_t> mix(std::span<const float> clean, std::span<const float> noise, int64_t offset, double snr_db,
                         bool noise_only, const std::string& clean_name = "clean",
                         const std::string& noise_name = "noise");

// The mixer's 16-bit conversion: the same values as audio::float_to_pcm16.
int16_t pcm16(double v);

// One synthesis job, ready to render.
struct Job {
  fs::path out;
  fs::path clean;
  fs::path noise;
  double snr_db = 0;
  int64_t offset = 0;  // start of the noise segment (see needs_offset_draw)
  // Lengths at kRate announced by the headers (length_at_rate) when the offset was drawn; the
  // decoded waves must match them. Negative: not checked.
  int64_t clean_len = -1;
  int64_t noise_len = -1;
  bool noise_only = false;  // write the scaled noise alone
};

using Wave = std::shared_ptr<const std::vector<float>>;

// Decoded waves (at kRate) shared between the jobs of one batch. Each file's number of uses is
// known up front; a file used more than once is decoded once and kept until its last use, as
// long as the kept waves stay within `budget_bytes` (beyond that, files are decoded per use).
// Concurrent requests for the same file wait for one decode.
class WaveCache {
 public:
  WaveCache(const std::vector<Job>& jobs, size_t budget_bytes);
  // The decoded wave of `file`; counts one use.
  Wave get(const fs::path& file);
  size_t bytes_held() const;
  size_t decodes() const { return decodes_.load(); }

 private:
  struct Slot {
    int64_t uses_left = 0;
    bool held = false;
    std::shared_future<Wave> wave;
    size_t bytes = 0;
  };
  Wave decode(const fs::path& file);

  mutable std::mutex mu_;
  std::unordered_map<std::string, Slot> slots_;
  size_t budget_;
  size_t held_bytes_ = 0;
  std::atomic<size_t> decodes_{0};
};

// Renders one job: decode both files (through `cache`), check their lengths against the
// headers the offset was drawn from, mix, create the output folder, write atomically.
void render(const Job& job, WaveCache& cache);

// A batch of jobs rendered in job order by the calling thread (run_next) or on worker threads
// (start / wait / join). The first failure stops the hand-out of further jobs and is rethrown
// by join(); jobs already written stay on disk.
// When several jobs name the same output file, only the last of them in job order is rendered
// (the others count as done): the file then holds what an in-order run leaves, whatever the
// thread count.
class Batch {
 public:
  static constexpr size_t kDefaultCacheBytes = size_t(256) << 20;

  explicit Batch(std::vector<Job> jobs, size_t cache_bytes = kDefaultCacheBytes);
  ~Batch();
  Batch(const Batch&) = delete;
  Batch& operator=(const Batch&) = delete;

  size_t size() const { return jobs_.size(); }
  const WaveCache& cache() const { return cache_; }

  // Calling-thread rendering: the next job in order; false when none is left.
  bool run_next();

  // Threaded rendering on `workers` threads (at most one per job).
  void start(int workers);
  // Blocks until more than `seen` jobs are finished, all work has ended, or `timeout` passed;
  // returns the number of finished jobs.
  size_t wait(size_t seen, std::chrono::milliseconds timeout);
  // True when no worker will finish another job (all done, failed or cancelled).
  bool idle() const;
  void cancel();
  // Joins the workers and rethrows the first failure.
  void join();
  size_t finished() const;
  size_t overwritten() const;

 private:
  void run(size_t i);

  std::vector<Job> jobs_;
  std::vector<bool> superseded_;
  WaveCache cache_;
  std::atomic<size_t> next_{0};  // calling-thread rendering
  std::unique_ptr<util::IndexPool> pool_;
};

// Copies `from` to `to` (content and permission bits) through a temporary file in the target
// folder renamed into place.
using util::copy_file_atomic;

// True when `outer` is `inner` or one of its ancestors, comparing canonical forms (symbolic
// links and dot components resolved as far as the paths exist).
bool is_same_or_ancestor(const fs::path& outer, const fs::path& inner);

// The absolute form of `p` with symbolic links and dot components resolved as far as the path
// exists (the rest taken lexically).
fs::path real_path(const fs::path& p);

// Index of the first of `files` that deleting `folder` would take with it: the entry itself (a
// link, or a file in a linked folder, at its resolved location) or the file a link points to
// lies at or below `folder`. -1 when none does.
std::ptrdiff_t first_inside(const fs::path& folder, const std::vector<fs::path>& files);

// True for the root of a file system: the root folder, or a folder on another device than its
// parent (a mount point).
bool is_filesystem_root(const fs::path& folder);

}  // namespace vemio::synth
