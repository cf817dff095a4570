#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <fstream>
#include <numbers>
#include <random>

#include <sys/stat.h>

#include "vemio/audio/audio.hpp"

namespace fs = std::filesystem;
using namespace vemio::audio;

namespace {
fs::path tmpdir() {
  auto d = fs::temp_directory_path() / ("vemio_audio_test_" + std::to_string(::getpid()));
  fs::create_directories(d);
  return d;
}
}  // namespace

TEST(Pcm16, ScalesSaturatesAndTruncates) {
  EXPECT_EQ(float_to_pcm16(0.5), 16383);
  EXPECT_EQ(float_to_pcm16(-1.0), -32767);
  EXPECT_EQ(float_to_pcm16(1.2), 32767);
  EXPECT_EQ(float_to_pcm16(-1.5), -32768);
  EXPECT_EQ(float_to_pcm16(std::nan("")), 0);
  EXPECT_EQ(float_to_pcm16(INFINITY), 32767);
  EXPECT_EQ(float_to_pcm16(-INFINITY), -32768);
  // the saturation bounds themselves and truncation toward zero on either side of them
  EXPECT_EQ(float_to_pcm16(1.0), 32767);
  EXPECT_EQ(float_to_pcm16(-32768.0 / 32767), -32768);
  EXPECT_EQ(float_to_pcm16(-32767.9 / 32767), -32767);
  EXPECT_EQ(float_to_pcm16(32766.99 / 32767), 32766);
  EXPECT_EQ(float_to_pcm16(-1e-9), 0);
  EXPECT_EQ(float_to_pcm16(-std::nan("")), 0);
}

TEST(Wav16, WriteThenDecodeRoundTrips) {
  auto f = tmpdir() / "rt.wav";
  std::vector<int16_t> s = {0, 1, -1, 32767, -32768, 1000, -1000, 7};
  write_wav16(f, s, 8000, 2);
  auto info = probe(f);
  EXPECT_EQ(info.frames, 4);
  EXPECT_EQ(info.rate, 8000);
  EXPECT_EQ(info.channels, 2);
  EXPECT_EQ(fs::file_size(f), 44u + 16u);
  auto d = decode(f, 0, false);
  ASSERT_EQ(d.channels, 2);
  EXPECT_FLOAT_EQ(d.samples[0], 0.0f);           // ch0 frame0
  EXPECT_FLOAT_EQ(d.samples[1], -1.0f / 32768);  // ch0 frame1
  EXPECT_FLOAT_EQ(d.samples[4], 1.0f / 32768);   // ch1 frame0
  auto m = decode(f, 0, true);
  ASSERT_EQ(m.channels, 1);
  EXPECT_FLOAT_EQ(m.samples[1], (32767.0f / 32768 + -1.0f / 32768) / 2);
  // no temporary files left behind
  for (auto& e : fs::directory_iterator(f.parent_path())) EXPECT_EQ(e.path().string().find(".tmp-"), std::string::npos);
}

TEST(Resample, LengthRuleAndToneKept) {
  EXPECT_EQ(resampled_length(48000, 48000, 16000), 16000);
  EXPECT_EQ(resampled_length(1, 48000, 16000), 1);
  EXPECT_EQ(resampled_length(100, 44100, 16000), 37);  // ceil(36.28)
  EXPECT_EQ(resampled_length(0, 8000, 16000), 0);
  std::vector<float> x(48000);
  for (size_t i = 0; i < x.size(); ++i) x[i] = 0.5f * std::sin(2 * std::numbers::pi * 440 * i / 48000.0);
  auto y = resample(std::span<const float>(x), 48000, 16000);
  ASSERT_EQ(y.size(), 16000u);
  double err = 0;
  for (size_t i = 2000; i < 14000; ++i)
    err = std::max(err, std::abs(y[i] - 0.5 * std::sin(2 * std::numbers::pi * 440 * i / 16000.0)));
  EXPECT_LT(err, 1e-3);
}

TEST(Decode, BadFilesThrowNamingTheFile) {
  auto d = tmpdir();
  EXPECT_THROW(decode(d / "missing.wav"), AudioError);
  std::ofstream(d / "text.wav") << "this is not audio";
  try {
    decode(d / "text.wav");
    FAIL();
  } catch (const AudioError& e) {
    EXPECT_NE(std::string(e.what()).find("text.wav"), std::string::npos);
  }
  fs::create_directories(d / "folder.wav");
  EXPECT_THROW(decode(d / "folder.wav"), AudioError);
  std::ofstream(d / "empty.wav").close();
  EXPECT_THROW(decode(d / "empty.wav"), AudioError);
}

TEST(Decode, SurvivesMutatedBytes) {
  auto d = tmpdir();
  std::vector<int16_t> s(2000);
  for (size_t i = 0; i < s.size(); ++i) s[i] = static_cast<int16_t>(i * 37);
  write_wav16(d / "base.wav", s, 16000, 1);
  std::ifstream in(d / "base.wav", std::ios::binary);
  std::string base((std::istreambuf_iterator<char>(in)), {});
  std::mt19937 rng(7);
  for (int trial = 0; trial < 300; ++trial) {
    std::string b = base;
    int edits = 1 + trial % 8;
    for (int k = 0; k < edits; ++k) b[rng() % 64] = static_cast<char>(rng());  // header bytes
    if (trial % 3 == 0) b.resize(rng() % b.size());
    auto f = d / "mut.wav";
    std::ofstream(f, std::ios::binary) << b;
    try {
      auto r = decode(f);
      for (float v : r.samples) ASSERT_TRUE(std::isfinite(v) || std::isnan(v));
    } catch (const AudioError&) {
    } catch (const std::length_error&) {
    } catch (const std::bad_alloc&) {
    }
  }
}

TEST(Decode, RefusesImplausibleRatesAndSpecialFiles) {
  auto d = tmpdir();
  std::vector<int16_t> s(64, 100);
  for (int rate : {1, 999, 768001}) {
    write_wav16(d / "rate.wav", s, rate, 1);
    EXPECT_THROW(decode(d / "rate.wav", 16000), AudioError) << rate;
    EXPECT_THROW(probe(d / "rate.wav"), AudioError) << rate;
  }
  write_wav16(d / "rate.wav", s, 1000, 1);
  EXPECT_EQ(decode(d / "rate.wav").rate, 1000);
  // a FIFO would block the open; it is refused at once like any file that is not regular
  const auto fifo = d / "pipe.wav";
  fs::remove(fifo);
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  EXPECT_THROW(decode(fifo), AudioError);
  int rate = 0;
  EXPECT_THROW(decode_mono_into(fifo, [](size_t n) { return new float[n]; }, rate), AudioError);
  fs::remove(fifo);
}

TEST(Wav16, RefusesLayoutsTheHeaderCannotHold) {
  auto d = tmpdir();
  std::vector<int16_t> s(2048);
  EXPECT_THROW(write_wav16(d / "c.wav", s, 16000, kMaxWavChannels + 1), std::invalid_argument);
  EXPECT_THROW(write_wav16(d / "c.wav", s, 16000, 65536), std::invalid_argument);
  EXPECT_THROW(write_wav16(d / "c.wav", s, 2100000, 1024), std::invalid_argument);
  EXPECT_FALSE(fs::exists(d / "c.wav"));
  write_wav16(d / "c.wav", s, 16000, kMaxWavChannels);
  EXPECT_EQ(probe(d / "c.wav").channels, kMaxWavChannels);
}

TEST(Pcm16, FromFloatsScalesOrTruncates) {
  const std::vector<double> x = {0.5, -1.0, 1.2, -1.5, std::nan(""), 40000.7, -2.9};
  EXPECT_EQ(pcm16_from_floats(x, true), (std::vector<int16_t>{16383, -32767, 32767, -32768, 0, 32767, -32768}));
  EXPECT_EQ(pcm16_from_floats(x, false), (std::vector<int16_t>{0, -1, 1, -1, 0, 32767, -2}));
}

TEST(Resample, InterleavedChannelsAreResampledOneByOne) {
  std::vector<float> a(1000), b(1000), inter(2000);
  for (size_t i = 0; i < a.size(); ++i) {
    a[i] = static_cast<float>(std::sin(0.05 * static_cast<double>(i)));
    b[i] = static_cast<float>(std::cos(0.011 * static_cast<double>(i)));
    inter[2 * i] = a[i];
    inter[2 * i + 1] = b[i];
  }
  const auto y = resample_interleaved(inter, 2, 16000, 8000);
  const auto ya = resample(std::span<const float>(a), 16000, 8000),
             yb = resample(std::span<const float>(b), 16000, 8000);
  ASSERT_EQ(y.size(), 2 * ya.size());
  for (size_t i = 0; i < ya.size(); ++i) {
    ASSERT_EQ(y[2 * i], ya[i]);
    ASSERT_EQ(y[2 * i + 1], yb[i]);
  }
}
