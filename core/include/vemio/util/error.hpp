// The exception family of the core. Bindings map FileError to vemio.AudioError (an OSError)
// and Error to vemio.VemioError; every message names what failed.
#pragma once

#include <filesystem>
#include <stdexcept>
#include <string>

namespace vemio {

// Base of the failures the core reports itself.
class Error : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// A file could not be opened, decoded or written. what() is "<file>: <reason>". `os_error`
// is the errno when the system refused (ENOENT for a missing file, EISDIR for a folder), 0 when
// the content is at fault; `not_regular` marks a FIFO, socket or device.
class FileError : public Error {
 public:
  FileError(const std::filesystem::path& file, const std::string& reason, int os_error = 0, bool not_regular = false)
      : Error(file.string() + ": " + reason),
        file_(file),
        reason_(reason),
        os_error_(os_error),
        not_regular_(not_regular) {}
  const std::filesystem::path& file() const { return file_; }
  const std::string& reason() const { return reason_; }
  int os_error() const { return os_error_; }
  bool not_regular() const { return not_regular_; }

 private:
  std::filesystem::path file_;
  std::string reason_;
  int os_error_;
  bool not_regular_;
};

}  // namespace vemio
