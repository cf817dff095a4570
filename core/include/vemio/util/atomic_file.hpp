// The one way the core writes a file: under a temporary name in the target folder, renamed
// into place once complete, so an interrupted run never leaves a truncated file under the
// final name. Files get the permissions open(2) gives a new file under the user's umask.
#pragma once

#include <filesystem>
#include <functional>
#include <string_view>

namespace vemio::util {

// A new temporary file next to `target`, written through fd() or write(), renamed onto
// `target` by commit(). Without commit() (an exception on the way) the temporary is removed.
// Failures throw vemio::FileError naming `target`.
//
// Writers that never need the temporary's name (`named` false) get, where the file system
// has them (Linux O_TMPFILE), a file without a name in the target folder that commit() links
// under `target`: no directory entry to create and rename, so writers of many files in one
// folder do not queue on the folder's lock, and a killed process leaves nothing behind. An
// existing `target` is still replaced atomically (linked under a temporary name, renamed).
class AtomicFile {
 public:
  explicit AtomicFile(const std::filesystem::path& target, bool named = true);
  ~AtomicFile();
  AtomicFile(const AtomicFile&) = delete;
  AtomicFile& operator=(const AtomicFile&) = delete;

  // empty for a file without a name
  const std::filesystem::path& temp_path() const { return tmp_; }
  int fd() const { return fd_; }
  void write(const void* data, size_t bytes);
  // head then body, in one system call where the kernel takes it all (a file header before
  // its data without copying them together)
  void write(const void* head, size_t head_bytes, const void* body, size_t body_bytes);
  // With `sync` the data reaches the disk before the name points to it (for tables and other
  // files that are written once and matter; the WAV files of a batch skip it).
  void commit(bool sync = false);

 private:
  void close_fd();
  void link_unnamed(bool sync);
  std::filesystem::path target_, tmp_;
  int fd_ = -1;
  bool committed_ = false;
  bool unnamed_ = false;
};

// `bytes` as the whole content of `target`.
void write_file_atomic(const std::filesystem::path& target, std::string_view bytes, bool sync = false);

// For writers that want a file name (a copy, a plotting library): produce(tmp) writes the
// temporary file, which then replaces `target`. Exceptions of produce propagate; the
// temporary is removed.
void replace_file_atomic(const std::filesystem::path& target,
                         const std::function<void(const std::filesystem::path& tmp)>& produce);

// Copies `from` to `to` (content and permission bits) through a temporary file.
void copy_file_atomic(const std::filesystem::path& from, const std::filesystem::path& to);

}  // namespace vemio::util
