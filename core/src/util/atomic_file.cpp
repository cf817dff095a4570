#include "vemio/util/atomic_file.hpp"

#include <fcntl.h>
#include <sys/uio.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "vemio/util/error.hpp"

namespace vemio::util {
namespace fs = std::filesystem;

namespace {
// "<name>.tmp-<pid>-<n>" beside the target: unique per process and call, hidden from nobody
// (an interrupted run shows what it left behind).
fs::path temp_name(const fs::path& target) {
  static std::atomic<uint64_t> counter{0};
  fs::path tmp = target;
  tmp += ".tmp-" + std::to_string(::getpid()) + "-" + std::to_string(counter++);
  return tmp;
}

FileError os_error(const fs::path& target, const char* what, int err) {
  return FileError(target, std::string(what) + ": " + std::strerror(err), err);
}
}  // namespace

namespace {
// Files without a name can be linked into place through /proc/self/fd (linkat with
// AT_EMPTY_PATH needs a capability); without /proc they are not used.
bool can_link_unnamed() {
  static const bool yes = ::access("/proc/self/fd", X_OK) == 0;
  return yes;
}
}  // namespace

AtomicFile::AtomicFile(const fs::path& target, bool named) : target_(target) {
#ifdef O_TMPFILE
  if (!named && can_link_unnamed()) {
    const fs::path dir = target.has_parent_path() ? target.parent_path() : fs::path(".");
    // 0666 under the umask, as any new file gets
    // readable too: where it cannot be linked, commit() copies it to a named temporary
    fd_ = ::open(dir.c_str(), O_RDWR | O_TMPFILE | O_CLOEXEC, 0666);
    if (fd_ >= 0) {
      unnamed_ = true;
      return;
    }
    // not supported here (or the folder is missing): the named way below reports any error
  }
#endif
  (void)named;
  for (int attempt = 0; attempt < 100 && fd_ < 0; ++attempt) {
    tmp_ = temp_name(target);
    // 0666 under the umask, as any new file gets
    fd_ = ::open(tmp_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd_ < 0 && errno != EEXIST) throw os_error(target, "cannot open for writing", errno);
  }
  if (fd_ < 0) throw FileError(target, "cannot find a free temporary name");
}

void AtomicFile::close_fd() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
}

AtomicFile::~AtomicFile() {
  close_fd();  // a file without a name goes with its descriptor
  if (!committed_ && !tmp_.empty()) {
    std::error_code ec;
    fs::remove(tmp_, ec);
  }
}

void AtomicFile::write(const void* data, size_t bytes) {
  const char* p = static_cast<const char*>(data);
  while (bytes > 0) {
    const ssize_t n = ::write(fd_, p, bytes);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) throw os_error(target_, "write failed", n < 0 ? errno : ENOSPC);
    p += n;
    bytes -= static_cast<size_t>(n);
  }
}

void AtomicFile::write(const void* head, size_t head_bytes, const void* body, size_t body_bytes) {
  iovec parts[2] = {{const_cast<void*>(head), head_bytes}, {const_cast<void*>(body), body_bytes}};
  iovec* p = parts;
  int count = 2;
  while (count > 0) {
    const ssize_t n = ::writev(fd_, p, count);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 || (n == 0 && p->iov_len + (count > 1 ? p[1].iov_len : 0) > 0))
      throw os_error(target_, "write failed", n < 0 ? errno : ENOSPC);
    size_t done = static_cast<size_t>(n);
    while (count > 0 && done >= p->iov_len) {  // parts written whole
      done -= p->iov_len;
      ++p;
      --count;
    }
    if (count > 0) {  // a short write ends inside this part
      p->iov_base = static_cast<char*>(p->iov_base) + done;
      p->iov_len -= done;
    }
  }
}

void AtomicFile::commit(bool sync) {
  if (sync && fd_ >= 0 && ::fsync(fd_) != 0) throw os_error(target_, "write failed", errno);
  if (unnamed_) {
    link_unnamed(sync);
    return;
  }
  if (fd_ >= 0 && ::close(fd_) != 0) {
    const int err = errno;
    fd_ = -1;
    throw os_error(target_, "write failed", err);
  }
  fd_ = -1;
  std::error_code ec;
  fs::rename(tmp_, target_, ec);
  if (ec) throw FileError(target_, "cannot rename into place: " + ec.message(), ec.value());
  committed_ = true;
}

void AtomicFile::link_unnamed(bool sync) {
  char self[40];
  std::snprintf(self, sizeof self, "/proc/self/fd/%d", fd_);
  if (::linkat(AT_FDCWD, self, AT_FDCWD, target_.c_str(), AT_SYMLINK_FOLLOW) == 0) {
    committed_ = true;
    const int fd = fd_;
    fd_ = -1;
    if (::close(fd) != 0) throw os_error(target_, "write failed", errno);
    return;
  }
  // An existing target is replaced: linked under a temporary name first, then renamed over
  // it. Where the file cannot be linked at all, its bytes go to a named temporary instead.
  const int link_error = errno;
  const int unnamed_fd = fd_;
  fd_ = -1;
  int err = EEXIST;
  for (int attempt = 0; attempt < 100 && err == EEXIST; ++attempt) {
    tmp_ = temp_name(target_);
    if (link_error == EEXIST) {
      err = ::linkat(AT_FDCWD, self, AT_FDCWD, tmp_.c_str(), AT_SYMLINK_FOLLOW) == 0 ? 0 : errno;
    } else {
      fd_ = ::open(tmp_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
      err = fd_ >= 0 ? 0 : errno;
    }
  }
  unnamed_ = false;  // from here on a name, removed if anything fails
  if (err != 0) {
    ::close(unnamed_fd);
    tmp_.clear();
    throw os_error(target_, "cannot link into place", err);
  }
  if (link_error != EEXIST) {
    char buf[1 << 16];
    for (off_t at = 0;;) {
      const ssize_t n = ::pread(unnamed_fd, buf, sizeof buf, at);
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) {
        const int e = errno;
        ::close(unnamed_fd);
        throw os_error(target_, "write failed", e);
      }
      if (n == 0) break;
      try {
        write(buf, static_cast<size_t>(n));
      } catch (...) {
        ::close(unnamed_fd);
        throw;
      }
      at += n;
    }
  }
  ::close(unnamed_fd);
  commit(sync);  // the copy to disk too (a link shares the inode already synced)
}

void write_file_atomic(const fs::path& target, std::string_view bytes, bool sync) {
  AtomicFile f(target, false);
  f.write(bytes.data(), bytes.size());
  f.commit(sync);
}

void replace_file_atomic(const fs::path& target, const std::function<void(const fs::path&)>& produce) {
  AtomicFile f(target);
  produce(f.temp_path());
  f.commit();
}

void copy_file_atomic(const fs::path& from, const fs::path& to) {
  replace_file_atomic(to, [&](const fs::path& tmp) {
    fs::copy_file(from, tmp, fs::copy_options::overwrite_existing);
    fs::permissions(tmp, fs::status(from).permissions(), fs::perm_options::replace);
  });
}

}  // namespace vemio::util
