// The exception family of the core. Bindings map FileError to vemio.AudioError (an OSError)
// and Error to vemio.VemioError; every message names what failed.
#pragma once

#include <filesystem>
#include <stdexcept>
#include <string>
#include <system_error>

namespace vemio {

// Base of the failures the core reports itself.
class Error : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// A file could not be opened, decoded or written. what() is "<file>: <reason>". code() is the
// operating system's error when one caused the failure (empty otherwise), so that bindings can
// raise the matching OSError subclass.
class FileError : public Error {
 public:
  FileError(const std::filesystem::path& file, const std::string& reason, std::error_code code = {})
      : Error(file.string() + ": " + reason), file_(file), reason_(reason), code_(code) {}
  const std::filesystem::path& file() const { return file_; }
  const std::string& reason() const { return reason_; }
  const std::error_code& code() const { return code_; }

 private:
  std::filesystem::path file_;
  std::string reason_;
  std::error_code code_;
};

}  // namespace vemio
