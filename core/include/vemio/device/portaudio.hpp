// PortAudio sessions, device enumeration and test streams.
//
// Every PortAudio call goes through one process-wide lock, so sessions may be used from several
// threads. While a call runs, the diagnostic output that ALSA and JACK would write on standard
// error (configuration probing, "cannot connect to server" chatter) is collected into an
// in-memory log instead; a failing call hands the lines it produced to its PortAudioError, and
// native_messages() returns the recent log, so nothing is lost, it just does not bury the output.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace vemio::device {

// Sample formats (PortAudio's values).
inline constexpr unsigned long kFloat32 = 0x01;
inline constexpr unsigned long kInt32 = 0x02;
inline constexpr unsigned long kInt24 = 0x04;
inline constexpr unsigned long kInt16 = 0x08;
inline constexpr unsigned long kInt8 = 0x10;
inline constexpr unsigned long kUInt8 = 0x20;

// A PortAudio error: code() is PortAudio's error code, what() its text (with the host API's own
// text appended for unanticipated host errors); messages() are the native diagnostic lines
// written while the failing call ran.
class PortAudioError : public std::runtime_error {
 public:
  PortAudioError(int code, const std::string& text, std::vector<std::string> messages = {})
      : std::runtime_error(text), code_(code), messages_(std::move(messages)) {}
  int code() const { return code_; }
  const std::vector<std::string>& messages() const { return messages_; }

 private:
  int code_;
  std::vector<std::string> messages_;
};

// A session or stream used after its session was terminated.
class TerminatedError : public std::logic_error {
 public:
  using std::logic_error::logic_error;
};

struct HostApiInfo {
  int index = 0;
  int struct_version = 0;
  int type = 0;
  std::string name;
  int device_count = 0;
  int default_input_device = -1;
  int default_output_device = -1;
};

struct DeviceInfo {
  int index = 0;
  int struct_version = 0;
  std::string name;
  int host_api = 0;
  int max_input_channels = 0;
  int max_output_channels = 0;
  double default_low_input_latency = 0;
  double default_low_output_latency = 0;
  double default_high_input_latency = 0;
  double default_high_output_latency = 0;
  double default_sample_rate = 0;
};

struct StreamParams {
  double rate = 0;
  int channels = 1;
  unsigned long format = kInt16;
  bool input = false;
  bool output = false;
  std::optional<int> input_device;         // default input device when empty
  std::optional<int> output_device;        // default output device when empty
  unsigned long frames_per_buffer = 1024;  // 0: let PortAudio choose
  bool start = true;
};

struct SessionState;
struct StreamState;

// An open blocking-mode stream. Closing is idempotent; terminating the session closes it too.
class Stream {
 public:
  Stream(std::shared_ptr<SessionState> session, std::shared_ptr<StreamState> state);
  ~Stream();
  Stream(const Stream&) = delete;
  Stream& operator=(const Stream&) = delete;

  void close();
  bool is_open() const;
  bool is_active() const;
  // Blocking read of `frames` frames of interleaved samples (input streams).
  std::vector<std::uint8_t> read(unsigned long frames);

 private:
  std::shared_ptr<SessionState> session_;
  std::shared_ptr<StreamState> state_;
};

// One initialisation of PortAudio (PortAudio counts them; the device list is the one taken when
// the first live session initialised the library).
class Session {
 public:
  Session();  // throws PortAudioError when the library cannot initialise
  ~Session();
  Session(const Session&) = delete;
  Session& operator=(const Session&) = delete;

  // Closes this session's open streams and releases the library; later calls are no-ops.
  void terminate();
  bool terminated() const;

  int host_api_count() const;
  HostApiInfo host_api_info(int host_api) const;
  int device_count() const;
  DeviceInfo device_info(int device) const;
  DeviceInfo host_api_device_info(int host_api, int host_api_device) const;
  std::optional<int> default_input_device() const;

  std::unique_ptr<Stream> open(const StreamParams& params);

 private:
  std::shared_ptr<SessionState> state_;
};

std::string version_text();
// The most recent native diagnostic lines (oldest first, at most a few hundred).
std::vector<std::string> native_messages();
// Bytes per sample of a format; 0 for an unknown one.
int sample_size(unsigned long format);

}  // namespace vemio::device
