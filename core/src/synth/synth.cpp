#include "vemio/synth/synth.hpp"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>

#include "vemio/audio/audio.hpp"

namespace vemio::synth {

namespace audio = vemio::audio;

int64_t length_at_rate(const fs::path& file) {
  const audio::Info info = audio::probe(file);
  return audio::resampled_length(info.frames, info.rate, kRate);
}

int16_t pcm16(double v) { return audio::float_to_pcm16(v); }

std::vector<int16_t> mix(std::span<const float> clean, std::span<const float> noise, int64_t offset, double snr_db,
                         bool noise_only, const std::string& clean_name, const std::string& noise_name) {
  const size_t lc = clean.size(), ln = noise.size();
  if (lc == 0 && ln == 0) throw MixError("empty audio files: " + clean_name + ", " + noise_name);
  if (lc == 0) throw MixError("empty clean audio file: " + clean_name);
  if (ln == 0) throw MixError("empty noise audio file: " + noise_name);

  // The noise segment: repeated from the start when shorter, else Lc samples from `offset`.
  std::vector<double> seg(lc);
  if (ln < lc) {
    if (offset != 0) throw MixError("noise offset must be 0 for a short noise file: " + noise_name);
    for (size_t i = 0, j = 0; i < lc; ++i, j = (j + 1 == ln ? 0 : j + 1)) seg[i] = noise[j];
  } else {
    if (offset < 0 || static_cast<uint64_t>(offset) > ln - lc)
      throw MixError("noise offset " + std::to_string(offset) + " out of range 0.." + std::to_string(ln - lc) +
                     " for " + noise_name);
    for (size_t i = 0; i < lc; ++i) seg[i] = noise[static_cast<size_t>(offset) + i];
  }

  double clean_sum = 0.0;
  for (float c : clean) clean_sum += static_cast<double>(c) * static_cast<double>(c);
  const double n = static_cast<double>(lc);
  const double clean_pwr = clean_sum / n;

  double mean = 0.0;
  for (double v : seg) mean += v;
  mean /= n;
  double var = 0.0;
  for (double& v : seg) {
    v -= mean;
    var += v * v;
  }
  const double sd = std::sqrt(var / n);
  if (sd == 0.0)
    throw MixError("noise segment has no spread (silent or constant noise), cannot scale it to an SNR: " + noise_name +
                   " (clean file " + clean_name + ")");

  // sqrt(noise_variance) * noise / std, with the two factors folded into one
  const double scale = std::sqrt(clean_pwr / std::pow(10.0, snr_db / 10.0)) / sd;
  std::vector<int16_t> out(lc);
  if (noise_only) {
    for (size_t i = 0; i < lc; ++i) out[i] = audio::float_to_pcm16(scale * seg[i]);
  } else {
    for (size_t i = 0; i < lc; ++i) out[i] = audio::float_to_pcm16(static_cast<double>(clean[i]) + scale * seg[i]);
  }
  return out;
}

// ------------------------------------------------------------------ cache

WaveCache::WaveCache(const std::vector<Job>& jobs, size_t budget_bytes) : budget_(budget_bytes) {
  for (const Job& j : jobs) {
    ++slots_[j.clean.string()].uses_left;
    ++slots_[j.noise.string()].uses_left;
  }
}

Wave WaveCache::decode(const fs::path& file) {
  decodes_.fetch_add(1);
  audio::Decoded d = audio::decode(file, kRate, true);
  return std::make_shared<const std::vector<float>>(std::move(d.samples));
}

size_t WaveCache::bytes_held() const {
  std::lock_guard lock(mu_);
  return held_bytes_;
}

Wave WaveCache::get(const fs::path& file) {
  std::unique_lock lock(mu_);
  auto it = slots_.find(file.string());
  if (it == slots_.end()) {
    lock.unlock();
    return decode(file);
  }
  Slot& s = it->second;
  if (s.uses_left > 0) --s.uses_left;
  if (s.held) {
    std::shared_future<Wave> f = s.wave;
    if (s.uses_left == 0) {  // last use: the caller's reference is the only one left
      s.held = false;
      s.wave = {};
      held_bytes_ -= s.bytes;
      s.bytes = 0;
    }
    lock.unlock();
    return f.get();
  }
  if (s.uses_left == 0) {
    lock.unlock();
    return decode(file);
  }
  // Keep it for the later uses when the header-announced size fits the budget.
  size_t bytes = 0;
  try {
    bytes = static_cast<size_t>(length_at_rate(file)) * sizeof(float);
  } catch (...) {
    lock.unlock();
    return decode(file);  // reports the file's own error
  }
  if (held_bytes_ + bytes > budget_) {
    lock.unlock();
    return decode(file);
  }
  std::promise<Wave> promise;
  s.held = true;
  s.wave = promise.get_future().share();
  s.bytes = bytes;
  held_bytes_ += bytes;
  lock.unlock();
  try {
    Wave w = decode(file);
    promise.set_value(w);
    return w;
  } catch (...) {
    promise.set_exception(std::current_exception());
    throw;
  }
}

// ------------------------------------------------------------------ rendering

namespace {
void check_length(const fs::path& file, size_t got, int64_t announced) {
  if (announced >= 0 && static_cast<int64_t>(got) != announced)
    throw audio::AudioError(file, "decoded to " + std::to_string(got) +
                                      " samples at 16000 Hz, but its header announces " + std::to_string(announced) +
                                      " (truncated or corrupt file?)");
}
}  // namespace

void render(const Job& job, WaveCache& cache) {
  Wave clean = cache.get(job.clean);
  Wave noise = cache.get(job.noise);
  check_length(job.clean, clean->size(), job.clean_len);
  check_length(job.noise, noise->size(), job.noise_len);
  std::vector<int16_t> pcm =
      mix(*clean, *noise, job.offset, job.snr_db, job.noise_only, job.clean.string(), job.noise.string());
  clean.reset();
  noise.reset();
  const fs::path parent = job.out.parent_path();
  if (!parent.empty()) fs::create_directories(parent);
  audio::write_wav16(job.out, pcm, kRate, 1);
}

namespace {
// Jobs whose output file is written again by a later job.
std::vector<bool> superseded_jobs(const std::vector<Job>& jobs) {
  std::vector<bool> out(jobs.size(), false);
  std::unordered_map<std::string, bool> seen;
  for (size_t i = jobs.size(); i-- > 0;) {
    std::error_code ec;
    fs::path p = fs::absolute(jobs[i].out, ec);
    if (ec) p = jobs[i].out;
    if (!seen.emplace(p.lexically_normal().string(), true).second) out[i] = true;
  }
  return out;
}

// The cache counts uses of the jobs that will actually be rendered.
std::vector<Job> rendered_only(const std::vector<Job>& jobs, const std::vector<bool>& superseded) {
  std::vector<Job> out;
  for (size_t i = 0; i < jobs.size(); ++i)
    if (!superseded[i]) out.push_back(jobs[i]);
  return out;
}
}  // namespace

Batch::Batch(std::vector<Job> jobs, size_t cache_bytes)
    : jobs_(std::move(jobs)),
      superseded_(superseded_jobs(jobs_)),
      cache_(rendered_only(jobs_, superseded_), cache_bytes) {}

size_t Batch::overwritten() const {
  return static_cast<size_t>(std::count(superseded_.begin(), superseded_.end(), true));
}

void Batch::run(size_t i) {
  if (!superseded_[i]) render(jobs_[i], cache_);
}

Batch::~Batch() = default;  // the pool cancels and joins

bool Batch::run_next() {
  const size_t i = next_.fetch_add(1);
  if (i >= jobs_.size()) return false;
  run(i);
  return true;
}

void Batch::start(int workers) {
  pool_ = std::make_unique<util::IndexPool>(jobs_.size(), workers, [this](size_t i, int) { run(i); });
}

size_t Batch::finished() const { return pool_ ? pool_->finished() : std::min(next_.load(), jobs_.size()); }

bool Batch::idle() const { return !pool_ || pool_->idle(); }

size_t Batch::wait(size_t seen, std::chrono::milliseconds timeout) {
  return pool_ ? pool_->wait(seen, timeout) : finished();
}

void Batch::cancel() {
  if (pool_) pool_->cancel();
}

void Batch::join() {
  if (pool_) pool_->join();
}

// ------------------------------------------------------------------ files

fs::path real_path(const fs::path& p) {
  std::error_code ec;
  fs::path a = fs::absolute(p, ec);
  if (ec) a = p;
  fs::path c = fs::weakly_canonical(a, ec);
  if (ec) c = a.lexically_normal();
  return c;
}

namespace {
// `inner` lies at or below `outer`, both already in real_path form.
bool within(const fs::path& outer, const fs::path& inner) {
  auto oi = outer.begin(), ii = inner.begin();
  for (; oi != outer.end(); ++oi, ++ii) {
    if (oi->empty() && std::next(oi) == outer.end()) break;  // trailing separator
    if (ii == inner.end() || *oi != *ii) return false;
  }
  return true;
}
}  // namespace

bool is_same_or_ancestor(const fs::path& outer, const fs::path& inner) {
  return within(real_path(outer), real_path(inner));
}

std::ptrdiff_t first_inside(const fs::path& folder, const std::vector<fs::path>& files) {
  const fs::path f = real_path(folder);
  std::unordered_map<std::string, fs::path> parents;  // folder as given -> real folder
  for (size_t i = 0; i < files.size(); ++i) {
    std::error_code ec;
    fs::path a = fs::absolute(files[i], ec);
    if (ec) a = files[i];
    const fs::path name = a.filename();
    fs::path where;  // where the entry itself sits, its folders resolved
    if (name.empty() || name == "." || name == "..") {
      where = real_path(a);
    } else {
      const std::string key = a.parent_path().string();
      auto it = parents.find(key);
      if (it == parents.end()) it = parents.emplace(key, real_path(a.parent_path())).first;
      where = it->second / name;
    }
    if (within(f, where) || within(f, real_path(a))) return static_cast<std::ptrdiff_t>(i);
  }
  return -1;
}

bool is_filesystem_root(const fs::path& folder) {
  const fs::path c = real_path(folder);
  if (c == c.root_path()) return true;
  struct stat self {
  }, parent{};
  if (::stat(c.c_str(), &self) != 0 || ::stat(c.parent_path().c_str(), &parent) != 0) return false;
  return self.st_dev != parent.st_dev;
}

}  // namespace vemio::synth
