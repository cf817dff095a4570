// Rows to files: decoding through a shared store, the checks made before anything is written,
// the atomic writes of one row, and the ledger that makes a run resumable.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <stdexcept>

#include "vemio/audio/audio.hpp"
#include "vemio/corpus/corpus.hpp"
#include "vemio/util/pool.hpp"

namespace vemio::corpus {

std::string row_label(size_t index, const std::string& name) {
  return "row " + std::to_string(index) + " (" + name + ")";
}

// ------------------------------------------------------------------ store

Wave WaveStore::get(const fs::path& file, int rate) {
  struct stat st {};
  std::string key = file.native() + '\0' + std::to_string(rate);
  if (::stat(file.c_str(), &st) == 0)
    key += '\0' + std::to_string(st.st_size) + '\0' + std::to_string(st.st_mtim.tv_sec) + '.' +
           std::to_string(st.st_mtim.tv_nsec);
  std::unique_lock lock(mu_);
  auto it = index_.find(key);
  if (it != index_.end()) {
    lru_.splice(lru_.begin(), lru_, it->second);
    std::shared_future<Wave> f = it->second->wave;
    lock.unlock();
    return f.get();
  }
  std::promise<Wave> promise;
  lru_.push_front(Entry{key, promise.get_future().share(), 0});
  index_[key] = lru_.begin();
  lock.unlock();
  try {
    decodes_.fetch_add(1);
    audio::Decoded d = audio::decode(file, rate, true);
    auto w = std::make_shared<const std::vector<float>>(std::move(d.samples));
    promise.set_value(w);
    lock.lock();
    auto e = index_.find(key);
    if (e != index_.end()) {
      e->second->bytes = w->size() * sizeof(float);
      held_ += e->second->bytes;
      trim();
    }
    return w;
  } catch (...) {
    promise.set_exception(std::current_exception());
    if (!lock.owns_lock()) lock.lock();
    auto e = index_.find(key);
    if (e != index_.end()) {  // not kept: a later request tries again
      held_ -= e->second->bytes;
      lru_.erase(e->second);
      index_.erase(e);
    }
    throw;
  }
}

void WaveStore::trim() {
  while (held_ > budget_ && lru_.size() > 1) {
    Entry& e = lru_.back();
    held_ -= e.bytes;
    index_.erase(e.key);
    lru_.pop_back();
  }
}

size_t WaveStore::bytes_held() const {
  std::lock_guard lock(mu_);
  return held_;
}

// ------------------------------------------------------------------ names and paths

fs::path noisy_path(const fs::path& out, const std::string& name) { return out / "noisy" / (name + ".wav"); }
fs::path clean_path(const fs::path& out, const std::string& name) { return out / "clean" / (name + ".wav"); }
fs::path ledger_path(const fs::path& out) { return out / "render.ledger"; }

std::string bad_name(const std::string& name) {
  if (name.empty()) return "is empty";
  if (name == "." || name == "..") return "is not a file name";
  if (name.size() > 200) return "is longer than 200 bytes";
  for (unsigned char c : name) {
    if (c == '/' || c == '\\') return "contains a path separator";
    if (c < 0x20 || c == 0x7f) return "contains a control character";
  }
  return "";
}

std::vector<int64_t> lengths_at(const std::vector<fs::path>& files, int rate, int workers) {
  std::vector<int64_t> out(files.size());
  util::parallel_for(files.size(), 8, workers, [&](size_t b, size_t e) {
    for (size_t i = b; i < e; ++i) {
      const audio::Info info = audio::probe(files[i]);
      if (info.frames == 0) throw FileError(files[i], "has no samples");
      out[i] = audio::resampled_length(info.frames, info.rate, rate);
    }
  });
  return out;
}

std::string name_part(const fs::path& file) {
  std::string out;
  for (unsigned char c : file.stem().string()) {
    if (out.size() == 40) break;
    const bool keep =
        (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '-' || c == '_';
    out += keep ? static_cast<char>(c) : '-';
  }
  return out;
}

// ------------------------------------------------------------------ checks

namespace {

void check_values(const Row& r, size_t i) {
  const std::string where = "[vm.corpus] " + row_label(i, r.name) + ": ";
  if (std::string why = bad_name(r.name); !why.empty()) throw RowError(where + "the name " + why);
  if (!std::isfinite(r.snr_db)) throw RowError(where + "the SNR must be a finite number");
  if (std::isinf(r.level_db)) throw RowError(where + "the level must be a finite number of dBFS");
  if (r.rate <= 0 || r.rate > 768000) throw RowError(where + "the rate must be 1 to 768000 Hz");
  if (r.noise_offset < 0) throw RowError(where + "the noise offset must not be negative");
  if (r.clean.empty()) throw RowError(where + "no clean file");
  if (r.noise.empty()) throw RowError(where + "no noise file");
}

// A file of the manifest with the first row that names it.
struct Input {
  fs::path file;
  size_t row = 0;
  const char* role = "";
  audio::Info info;
  bool silent = false;
};

[[noreturn]] void rethrow_for(const Input& in, const std::vector<Row>& rows) {
  const std::string label = row_label(in.row, rows[in.row].name);
  try {
    throw;
  } catch (const FileError& e) {
    throw FileError(e.file(), e.reason() + " (" + in.role + " file of " + label + ")", e.os_error(), e.not_regular());
  } catch (const std::exception& e) {
    throw FileError(in.file, std::string(e.what()) + " (" + in.role + " file of " + label + ")");
  }
}

}  // namespace

void check_rows(const std::vector<Row>& rows, int workers, const std::vector<size_t>* which) {
  std::vector<size_t> all;
  if (!which) {
    all.resize(rows.size());
    for (size_t i = 0; i < rows.size(); ++i) all[i] = i;
    which = &all;
  }
  std::vector<Input> inputs;
  std::unordered_map<std::string, size_t> seen;
  auto add = [&](const fs::path& f, size_t row, const char* role) {
    if (seen.emplace(f.native(), inputs.size()).second) inputs.push_back(Input{f, row, role, {}, false});
  };
  for (size_t i : *which) {
    check_values(rows[i], i);
    add(rows[i].clean, i, "clean");
    add(rows[i].noise, i, "noise");
    if (!rows[i].rir.empty()) add(rows[i].rir, i, "room response");
  }
  // headers of every input, and the samples of the clean files (a silent one cannot take an SNR)
  std::vector<std::exception_ptr> errors(inputs.size());
  util::parallel_for(inputs.size(), 4, workers, [&](size_t b, size_t e) {
    for (size_t k = b; k < e; ++k) {
      Input& in = inputs[k];
      try {
        in.info = audio::probe(in.file);
        if (in.info.frames == 0) throw FileError(in.file, "has no samples");
        if (std::strcmp(in.role, "clean") == 0) {
          const audio::Decoded d = audio::decode(in.file, 0, true);
          in.silent = std::all_of(d.samples.begin(), d.samples.end(), [](float v) { return v == 0.0f; });
        }
      } catch (...) {
        errors[k] = std::current_exception();
      }
    }
  });
  for (size_t k = 0; k < inputs.size(); ++k) {
    if (errors[k]) {
      try {
        std::rethrow_exception(errors[k]);
      } catch (...) {
        rethrow_for(inputs[k], rows);
      }
    }
    if (inputs[k].silent)
      throw RowError("[vm.corpus] " + row_label(inputs[k].row, rows[inputs[k].row].name) +
                     ": the clean file is silent: " + inputs[k].file.string());
  }
  // the noise offsets against the lengths the headers announce
  for (size_t i : *which) {
    const Row& r = rows[i];
    const audio::Info& c = inputs[seen.at(r.clean.native())].info;
    const audio::Info& n = inputs[seen.at(r.noise.native())].info;
    const int64_t lc = audio::resampled_length(c.frames, c.rate, r.rate);
    const int64_t ln = audio::resampled_length(n.frames, n.rate, r.rate);
    const int64_t last = ln >= lc ? ln - lc : ln - 1;
    if (r.noise_offset > last)
      throw RowError("[vm.corpus] " + row_label(i, r.name) + ": noise offset " + std::to_string(r.noise_offset) +
                     " out of range 0.." + std::to_string(last) + " for " + r.noise.string());
  }
}

// ------------------------------------------------------------------ one row

Result render_row(const Row& row, size_t index, const fs::path& out, WaveStore& store) {
  const std::string label = "[vm.corpus] " + row_label(index, row.name);
  auto fetch = [&](const fs::path& f, const char* role) {
    try {
      return store.get(f, row.rate);
    } catch (const FileError& e) {
      throw FileError(e.file(), e.reason() + " (" + role + " file of " + row_label(index, row.name) + ")", e.os_error(),
                      e.not_regular());
    }
  };
  Wave clean = fetch(row.clean, "clean");
  Wave noise = fetch(row.noise, "noise");
  Wave rir = row.rir.empty() ? nullptr : fetch(row.rir, "room response");
  if (clean->empty()) throw RowError(label + ": the clean file has no samples: " + row.clean.string());
  // buffers of this thread, reused from row to row (rows of a corpus have similar sizes, and
  // fresh buffers of this size cost a page fault per page)
  thread_local Speech speech;
  thread_local std::vector<double> seg;
  thread_local std::vector<int16_t> noisy_pcm, target_pcm;
  const size_t n = clean->size();
  noisy_pcm.resize(n);
  target_pcm.resize(n);
  auto segment = [&] {
    try {
      noise_segment_into(*noise, row.noise_offset, n, seg);
    } catch (const std::out_of_range& e) {
      throw RowError(label + ": " + e.what() + ": " + row.noise.string());
    }
  };
  Result result;
  if (!rir) {
    // dry speech mixes straight from the decoded samples; the noise too unless it is repeated
    const size_t ln = noise->size();
    if (row.noise_offset >= 0 && ln >= n && static_cast<size_t>(row.noise_offset) <= ln - n) {
      const std::span<const float> window(noise->data() + row.noise_offset, n);
      result = mix_pcm(*clean, window, row.snr_db, row.level_db, label, noisy_pcm.data(), target_pcm.data());
    } else {
      segment();
      result = mix_pcm(*clean, seg, row.snr_db, row.level_db, label, noisy_pcm.data(), target_pcm.data());
    }
  } else {
    speech_into(*clean, *rir, row.rate, speech);
    segment();
    result = mix_pcm(speech, seg, row.snr_db, row.level_db, label, noisy_pcm.data(), target_pcm.data());
  }
  clean.reset();
  noise.reset();
  rir.reset();
  audio::write_wav16(clean_path(out, row.name), target_pcm, row.rate, 1);
  audio::write_wav16(noisy_path(out, row.name), noisy_pcm, row.rate, 1);
  if (noisy_pcm.capacity() > (size_t(4) << 20)) {  // one very long row does not pin its memory
    std::vector<int16_t>().swap(noisy_pcm);
    std::vector<int16_t>().swap(target_pcm);
  }
  return result;
}

// ------------------------------------------------------------------ ledger

namespace {
std::string number(double v) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%.17g", v);
  return buf;
}
}  // namespace

uint64_t row_key(const Row& r) {
  const std::string text = r.name + '\0' + r.clean.native() + '\0' + r.noise.native() + '\0' + r.rir.native() + '\0' +
                           number(r.snr_db) + '\0' + std::to_string(r.noise_offset) + '\0' + number(r.level_db) + '\0' +
                           std::to_string(r.rate);
  uint64_t h = 1469598103934665603ull;  // FNV-1a
  for (unsigned char c : text) {
    h ^= c;
    h *= 1099511628211ull;
  }
  return h;
}

Ledger::Ledger(const fs::path& file) : file_(file) {
  fd_ = ::open(file.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0666);
  if (fd_ < 0) throw FileError(file, std::string("cannot open for appending: ") + std::strerror(errno), errno);
}

Ledger::~Ledger() {
  if (fd_ >= 0) ::close(fd_);
}

void Ledger::append(const Row& row, const Result& r) {
  char key[17];
  std::snprintf(key, sizeof key, "%016llx", static_cast<unsigned long long>(row_key(row)));
  const std::string line = row.name + '\t' + key + '\t' + number(r.clean_gain) + '\t' + number(r.noise_gain) + '\t' +
                           number(r.snr_measured) + '\t' + number(r.peak) + '\t' + (r.clipped_avoided ? "1" : "0") +
                           '\n';
  std::lock_guard lock(mu_);
  // one write per line: appends of other threads and processes land between lines
  const char* p = line.data();
  size_t left = line.size();
  while (left > 0) {
    const ssize_t n = ::write(fd_, p, left);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) throw FileError(file_, std::string("write failed: ") + std::strerror(n < 0 ? errno : ENOSPC), errno);
    p += n;
    left -= static_cast<size_t>(n);
  }
}

namespace {
bool parse_line(const std::string& line, std::string& name, LedgerEntry& e) {
  std::vector<std::string> f;
  size_t start = 0;
  for (;;) {
    const size_t tab = line.find('\t', start);
    f.push_back(line.substr(start, tab == std::string::npos ? std::string::npos : tab - start));
    if (tab == std::string::npos) break;
    start = tab + 1;
  }
  if (f.size() != 7 || f[1].size() != 16 || (f[6] != "0" && f[6] != "1") || !bad_name(f[0]).empty()) return false;
  char* end = nullptr;
  e.key = std::strtoull(f[1].c_str(), &end, 16);
  if (*end) return false;
  double* slots[] = {&e.result.clean_gain, &e.result.noise_gain, &e.result.snr_measured, &e.result.peak};
  for (int k = 0; k < 4; ++k) {
    *slots[k] = std::strtod(f[2 + k].c_str(), &end);
    if (f[2 + k].empty() || *end) return false;
  }
  e.result.clipped_avoided = f[6] == "1";
  name = f[0];
  return true;
}

std::string read_all(const fs::path& file, bool& exists) {
  exists = false;
  FILE* fp = std::fopen(file.c_str(), "rb");
  if (!fp) {
    if (errno == ENOENT) return "";
    throw FileError(file, std::string("cannot open: ") + std::strerror(errno), errno);
  }
  exists = true;
  std::string text;
  char buf[1 << 16];
  size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, fp)) > 0) text.append(buf, n);
  const bool bad = std::ferror(fp);
  std::fclose(fp);
  if (bad) throw FileError(file, "read failed");
  return text;
}
}  // namespace

std::unordered_map<std::string, LedgerEntry> read_ledger(const fs::path& file) {
  bool exists;
  const std::string text = read_all(file, exists);
  std::unordered_map<std::string, LedgerEntry> out;
  size_t start = 0;
  while (start < text.size()) {
    const size_t nl = text.find('\n', start);
    if (nl == std::string::npos) break;  // a torn last line
    std::string name;
    LedgerEntry e;
    if (parse_line(text.substr(start, nl - start), name, e)) out[name] = e;
    start = nl + 1;
  }
  return out;
}

void repair_ledger(const fs::path& file) {
  bool exists;
  const std::string text = read_all(file, exists);
  if (!exists || text.empty() || text.back() == '\n') return;
  const size_t keep = text.rfind('\n') == std::string::npos ? 0 : text.rfind('\n') + 1;
  if (::truncate(file.c_str(), static_cast<off_t>(keep)) != 0)
    throw FileError(file, std::string("cannot repair: ") + std::strerror(errno), errno);
}

size_t remove_temporaries(const fs::path& folder) {
  size_t removed = 0;
  std::error_code ec;
  fs::directory_iterator it(folder, ec), end;
  if (ec) return 0;
  for (; it != end; it.increment(ec)) {
    if (ec) break;
    const std::string name = it->path().filename().string();
    // <name>.tmp-<pid>-<n>, as the atomic writer names its temporaries
    const size_t at = name.rfind(".tmp-");
    if (at == std::string::npos) continue;
    const std::string tail = name.substr(at + 5);
    const size_t dash = tail.find('-');
    auto digits = [](const std::string& s) {
      return !s.empty() && s.find_first_not_of("0123456789") == std::string::npos;
    };
    if (dash == std::string::npos || !digits(tail.substr(0, dash)) || !digits(tail.substr(dash + 1))) continue;
    std::error_code rc;
    if (it->is_regular_file(rc) && fs::remove(it->path(), rc)) ++removed;
  }
  return removed;
}

std::vector<std::optional<Result>> finished_rows(const std::vector<Row>& rows, const fs::path& out) {
  const auto ledger = read_ledger(ledger_path(out));
  std::vector<std::optional<Result>> done(rows.size());
  if (ledger.empty()) return done;
  util::parallel_for(rows.size(), 256, 0, [&](size_t b, size_t e) {
    struct stat st {};
    for (size_t i = b; i < e; ++i) {
      auto it = ledger.find(rows[i].name);
      if (it == ledger.end() || it->second.key != row_key(rows[i])) continue;
      if (::stat(noisy_path(out, rows[i].name).c_str(), &st) != 0 || !S_ISREG(st.st_mode)) continue;
      if (::stat(clean_path(out, rows[i].name).c_str(), &st) != 0 || !S_ISREG(st.st_mode)) continue;
      done[i] = it->second.result;
    }
  });
  return done;
}

}  // namespace vemio::corpus
