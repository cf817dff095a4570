// PortAudio sessions against a virtual ALSA capture device (the null plugin behind "default"),
// configured by this test through ALSA_CONFIG_PATH before PortAudio first starts.
#include <gtest/gtest.h>
#include <portaudio.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "vemio/device/portaudio.hpp"

namespace dev = vemio::device;

namespace {

const bool kConfigured = [] {
  auto path = std::filesystem::temp_directory_path() / ("vemio_test_device_" + std::to_string(getpid()) + ".conf");
  std::ofstream(path) << "pcm.vemio_null { type null }\npcm.!default { type plug; slave.pcm \"vemio_null\" }\n";
  setenv("ALSA_CONFIG_PATH", path.c_str(), 1);
  return true;
}();

int first_input(const dev::Session& s) {
  for (int i = 0; i < s.device_count(); ++i)
    if (s.device_info(i).max_input_channels > 0) return i;
  return -1;
}

dev::StreamParams input_params(int device, double rate = 16000, int channels = 1) {
  dev::StreamParams p;
  p.input = true;
  p.input_device = device;
  p.rate = rate;
  p.channels = channels;
  p.frames_per_buffer = 256;
  return p;
}

}  // namespace

TEST(DeviceSession, EnumeratesTheVirtualCaptureDevices) {
  ASSERT_TRUE(kConfigured);
  dev::Session s;
  ASSERT_GE(s.host_api_count(), 1);
  dev::HostApiInfo alsa = s.host_api_info(0);
  EXPECT_EQ(alsa.name, "ALSA");
  ASSERT_GE(alsa.device_count, 1);
  dev::DeviceInfo d = s.host_api_device_info(0, 0);
  EXPECT_EQ(d.host_api, 0);
  EXPECT_EQ(s.device_info(d.index).name, d.name);
  EXPECT_GT(d.max_input_channels, 0);
  EXPECT_GT(d.default_sample_rate, 0);
}

TEST(DeviceSession, OpensReadsAndClosesAnInputStream) {
  dev::Session s;
  int in = first_input(s);
  ASSERT_GE(in, 0);
  auto stream = s.open(input_params(in));
  EXPECT_TRUE(stream->is_open());
  EXPECT_TRUE(stream->is_active());
  EXPECT_EQ(stream->read(160).size(), 320u);  // 16-bit mono
  stream->close();
  stream->close();  // idempotent
  EXPECT_FALSE(stream->is_open());
  EXPECT_THROW(stream->read(1), dev::TerminatedError);
}

TEST(DeviceSession, RefusedSettingsCarryPortAudioCodes) {
  dev::Session s;
  int in = first_input(s);
  ASSERT_GE(in, 0);
  auto code_of = [&](const dev::StreamParams& p) {
    try {
      s.open(p);
    } catch (const dev::PortAudioError& e) {
      EXPECT_FALSE(std::string(e.what()).empty());
      return e.code();
    }
    return 0;
  };
  EXPECT_EQ(code_of(input_params(in, 16000, 0)), paInvalidChannelCount);
  EXPECT_EQ(code_of(input_params(in, -16000)), paInvalidSampleRate);
  EXPECT_EQ(code_of(input_params(s.device_count())), paInvalidDevice);
  EXPECT_EQ(code_of(input_params(-2)), paInvalidDevice);
  EXPECT_EQ(code_of(input_params(in, 16000, 100000)), paInvalidChannelCount);
  EXPECT_THROW(s.device_info(-1), dev::PortAudioError);
  EXPECT_THROW(s.device_info(s.device_count()), dev::PortAudioError);
  EXPECT_THROW(s.host_api_device_info(0, 1000), dev::PortAudioError);
  EXPECT_THROW(s.host_api_info(99), dev::PortAudioError);
  dev::StreamParams neither = input_params(in);
  neither.input = false;
  EXPECT_THROW(s.open(neither), std::invalid_argument);
}

TEST(DeviceSession, TerminateClosesStreamsAndRefusesFurtherUse) {
  auto s = std::make_unique<dev::Session>();
  int in = first_input(*s);
  ASSERT_GE(in, 0);
  auto stream = s->open(input_params(in));
  s->terminate();
  s->terminate();  // idempotent
  EXPECT_TRUE(s->terminated());
  EXPECT_FALSE(stream->is_open());
  EXPECT_THROW(stream->read(1), dev::TerminatedError);
  EXPECT_NO_THROW(stream->close());
  EXPECT_THROW(s->device_count(), dev::TerminatedError);
  EXPECT_THROW(s->open(input_params(in)), dev::TerminatedError);
  s.reset();       // destroying a terminated session is harmless
  stream.reset();  // and so is a stream outliving its session
}

TEST(DeviceSession, NativeChatterGoesToTheLogNotStandardError) {
  testing::internal::CaptureStderr();
  std::string refusal;
  {
    dev::Session s;
    try {
      s.open(input_params(first_input(s), 16000, 100000));
    } catch (const dev::PortAudioError& e) {
      for (const auto& line : e.messages()) refusal += line + "\n";
    }
  }
  std::string err = testing::internal::GetCapturedStderr();
  EXPECT_EQ(err, "");
  // the host API's trace of the refused setting travels with the error
  EXPECT_NE(refusal.find("channelCount"), std::string::npos) << refusal;
  EXPECT_LE(dev::native_messages().size(), 256u);
}

TEST(DeviceSession, SampleSizes) {
  EXPECT_EQ(dev::sample_size(dev::kInt16), 2);
  EXPECT_EQ(dev::sample_size(dev::kFloat32), 4);
  EXPECT_EQ(dev::sample_size(0x40), 0);
  EXPECT_FALSE(dev::version_text().empty());
}
