#include <gtest/gtest.h>
#include <unistd.h>

#include <cmath>
#include <filesystem>
#include <fstream>
#include <numeric>
#include <random>

#include "vemio/audio/audio.hpp"
#include "vemio/synth/synth.hpp"

namespace fs = std::filesystem;
using namespace vemio::synth;
namespace audio = vemio::audio;

namespace {
fs::path tmpdir() {
  auto d = fs::temp_directory_path() / ("vemio_synth_test_" + std::to_string(::getpid()));
  fs::create_directories(d);
  return d;
}

std::vector<float> noise_wave(size_t n, unsigned seed, float amp = 0.3f) {
  std::mt19937 g(seed);
  std::uniform_real_distribution<float> u(-amp, amp);
  std::vector<float> v(n);
  for (auto& x : v) x = u(g);
  return v;
}

void write(const fs::path& f, const std::vector<float>& v, int rate = kRate) {
  std::vector<int16_t> pcm(v.size());
  for (size_t i = 0; i < v.size(); ++i) pcm[i] = audio::float_to_pcm16(v[i]);
  audio::write_wav16(f, pcm, rate, 1);
}

double power(const std::vector<double>& v) {
  double s = 0;
  for (double x : v) s += x * x;
  return s / static_cast<double>(v.size());
}
}  // namespace

TEST(Mix, ScalesNoiseToTheRequestedSnr) {
  auto clean = noise_wave(16000, 1, 0.2f);
  auto noise = noise_wave(40000, 2, 0.5f);
  for (double snr : {-5.0, 0.0, 20.0}) {
    auto only = mix(clean, noise, 123, snr, true);
    auto mixed = mix(clean, noise, 123, snr, false);
    ASSERT_EQ(only.size(), clean.size());
    std::vector<double> n(only.begin(), only.end()), c(clean.size());
    for (size_t i = 0; i < c.size(); ++i) c[i] = clean[i] * 32767.0;
    // truncation to integers costs a little accuracy
    EXPECT_NEAR(10 * std::log10(power(c) / power(n)), snr, 0.01);
    // the mixture is clean + that same noise
    for (size_t i = 0; i < 100; ++i) EXPECT_NEAR(mixed[i], c[i] + n[i], 2.0);
  }
}

TEST(Mix, SixteenBitConversionMatchesTheAudioCore) {
  std::mt19937 g(7);
  std::uniform_real_distribution<double> u(-1.5, 1.5);
  for (int i = 0; i < 100000; ++i) {
    const double v = u(g);
    ASSERT_EQ(pcm16(v), audio::float_to_pcm16(v)) << v;
  }
  const std::initializer_list<double> edges = {0.0,   -0.0,   1.0,      -1.0,      -32768.0 / 32767,
                                               1e300, -1e300, HUGE_VAL, -HUGE_VAL, std::nan("")};
  for (double v : edges) EXPECT_EQ(pcm16(v), audio::float_to_pcm16(v)) << v;
}

TEST(Mix, ShortNoiseIsRepeatedFromTheStart) {
  std::vector<float> clean(10, 0.1f), noise = {0.5f, -0.5f, 0.25f, 0.0f};
  // repeated: .5 -.5 .25 0 .5 -.5 .25 0 .5 -.5 -> the output keeps that pattern
  auto out = mix(clean, noise, 0, 0.0, true);
  EXPECT_EQ(out[0], out[4]);
  EXPECT_EQ(out[1], out[5]);
  EXPECT_EQ(out[0], out[8]);
  EXPECT_THROW(mix(clean, noise, 1, 0.0, true), MixError);
}

TEST(Mix, OffsetSelectsTheSegmentAndEqualLengthNeedsZero) {
  std::vector<float> clean(4, 0.1f), noise = {9.f, 0.5f, -0.5f, 0.5f, -0.5f, 7.f};
  auto a = mix(clean, noise, 1, 0.0, true);
  EXPECT_EQ(a[0], -a[1]);
  EXPECT_THROW(mix(clean, noise, 3, 0.0, true), MixError);
  std::vector<float> same = {0.5f, -0.5f, 0.5f, -0.5f};
  EXPECT_EQ(mix(clean, same, 0, 0.0, true), a);
  EXPECT_THROW(mix(clean, same, 1, 0.0, true), MixError);
}

TEST(Render, BatchOnThreadsEqualsCallingThreadAndSharesDecodes) {
  auto d = tmpdir() / "batch";
  fs::remove_all(d);
  fs::create_directories(d);
  write(d / "c1.wav", noise_wave(8000, 10, 0.2f));
  write(d / "c2.wav", noise_wave(12000, 11, 0.2f));
  write(d / "n1.wav", noise_wave(30000, 12), 48000);  // 10000 samples at 16 kHz
  write(d / "n2.wav", noise_wave(5000, 13));
  std::vector<Job> jobs;
  int k = 0;
  for (const char* c : {"c1", "c2"})
    for (const char* n : {"n1", "n2"})
      for (double snr : {-5.0, 5.0}) {
        Job j;
        j.clean = d / (std::string(c) + ".wav");
        j.noise = d / (std::string(n) + ".wav");
        j.clean_len = length_at_rate(j.clean);
        j.noise_len = length_at_rate(j.noise);
        j.offset = needs_offset_draw(j.clean_len, j.noise_len) ? 1 + (k * 37) % (j.noise_len - j.clean_len) : 0;
        j.snr_db = snr;
        j.out = d / "seq" / ("o" + std::to_string(k++) + ".wav");
        jobs.push_back(j);
      }
  EXPECT_EQ(jobs[0].noise_len, 10000);
  auto threaded = jobs;
  for (auto& j : threaded) j.out = d / "thr" / j.out.filename();

  Batch seq(jobs);
  while (seq.run_next()) {
  }
  EXPECT_EQ(seq.cache().decodes(), 4u);  // each file decoded once
  EXPECT_EQ(seq.cache().bytes_held(), 0u);
  Batch thr(threaded, 0);  // no budget: decoded per use
  thr.start(3);
  thr.join();
  EXPECT_EQ(thr.cache().decodes(), 16u);
  for (const auto& j : jobs) {
    std::ifstream a(j.out, std::ios::binary), b(d / "thr" / j.out.filename(), std::ios::binary);
    std::string sa((std::istreambuf_iterator<char>(a)), {}), sb((std::istreambuf_iterator<char>(b)), {});
    EXPECT_FALSE(sa.empty());
    EXPECT_EQ(sa, sb) << j.out;
  }
  EXPECT_EQ(audio::probe(jobs[0].out).frames, 8000);
}

TEST(Render, FirstFailureStopsTheBatchAndNamesTheFile) {
  auto d = tmpdir() / "fail";
  fs::remove_all(d);
  fs::create_directories(d);
  write(d / "c.wav", noise_wave(1000, 20));
  write(d / "n.wav", noise_wave(3000, 21));
  { std::ofstream(d / "bad.wav") << "not audio at all"; }
  std::vector<Job> jobs(50);
  for (size_t i = 0; i < jobs.size(); ++i) {
    jobs[i] = Job{d / ("o" + std::to_string(i) + ".wav"), d / "c.wav", d / "n.wav", 0.0, 1, -1, -1, false};
  }
  jobs[5].noise = d / "bad.wav";
  Batch b(jobs);
  b.start(2);
  try {
    b.join();
    FAIL();
  } catch (const audio::AudioError& e) {
    EXPECT_NE(std::string(e.what()).find("bad.wav"), std::string::npos);
  }
  EXPECT_LT(b.finished(), jobs.size());
}

TEST(Render, HeaderLengthMismatchIsReported) {
  auto d = tmpdir() / "len";
  fs::create_directories(d);
  write(d / "c.wav", noise_wave(1000, 30));
  write(d / "n.wav", noise_wave(3000, 31));
  Job j{d / "o.wav", d / "c.wav", d / "n.wav", 0.0, 1, 1000, 2999, false};
  Batch b({j});
  EXPECT_THROW(b.run_next(), audio::AudioError);
}

TEST(Files, AtomicCopyAndContainment) {
  auto d = tmpdir() / "files";
  fs::remove_all(d);
  fs::create_directories(d / "a" / "b");
  { std::ofstream(d / "src.bin") << "hello"; }
  copy_file_atomic(d / "src.bin", d / "a" / "dst.bin");
  std::ifstream in(d / "a" / "dst.bin");
  std::string s;
  in >> s;
  EXPECT_EQ(s, "hello");
  EXPECT_EQ(std::distance(fs::directory_iterator(d / "a"), fs::directory_iterator{}), 2);
  EXPECT_THROW(copy_file_atomic(d / "missing", d / "a" / "x"), fs::filesystem_error);

  EXPECT_TRUE(is_same_or_ancestor(d / "a", d / "a" / "b"));
  EXPECT_TRUE(is_same_or_ancestor(d / "a" / "", d / "a"));
  EXPECT_TRUE(is_same_or_ancestor(d / "a" / "b" / "..", d / "a" / "b"));
  EXPECT_FALSE(is_same_or_ancestor(d / "a" / "b", d / "a"));
  EXPECT_FALSE(is_same_or_ancestor(d / "a", d / "ab"));
  EXPECT_TRUE(is_same_or_ancestor(d / "a" / "new", d / "a" / "new" / "x"));
}

TEST(Files, InputsTakenAlongByDeletingAFolder) {
  auto d = tmpdir() / "inside";
  fs::remove_all(d);
  fs::create_directories(d / "out" / "real");
  fs::create_directories(d / "in");
  { std::ofstream(d / "out" / "real" / "x.wav") << "x"; }
  { std::ofstream(d / "in" / "plain.wav") << "p"; }
  fs::create_symlink(d / "out" / "real" / "x.wav", d / "in" / "link.wav");
  fs::create_directory_symlink(d / "out" / "real", d / "linkdir");
  fs::create_symlink(d / "in" / "plain.wav", d / "out" / "away.wav");

  const fs::path out = d / "out";
  EXPECT_EQ(first_inside(out, {d / "in" / "plain.wav"}), -1);
  // a link whose target lies inside, and a file reached through a linked folder
  EXPECT_EQ(first_inside(out, {d / "in" / "plain.wav", d / "in" / "link.wav"}), 1);
  EXPECT_EQ(first_inside(out, {d / "linkdir" / "x.wav"}), 0);
  // a link that sits inside goes with the folder even though its target does not
  EXPECT_EQ(first_inside(out, {d / "out" / "away.wav"}), 0);
  // relative and dotted spellings
  EXPECT_EQ(first_inside(d / "in" / ".." / "out", {d / "out" / "real" / "." / "x.wav"}), 0);
  EXPECT_EQ(first_inside(d / "ou", {d / "out" / "real" / "x.wav"}), -1);

  EXPECT_TRUE(is_filesystem_root("/"));
  if (fs::exists("/proc/self/stat")) {
    EXPECT_TRUE(is_filesystem_root("/proc"));  // a mount point
  }
  EXPECT_FALSE(is_filesystem_root(out));
  EXPECT_FALSE(is_filesystem_root(d / "linkdir"));
  fs::remove_all(d);
}

TEST(Render, SharedOutputNameKeepsTheLastJobInOrder) {
  auto d = tmpdir() / "dups";
  fs::remove_all(d);
  fs::create_directories(d);
  write(d / "c.wav", noise_wave(4000, 40, 0.2f));
  write(d / "n.wav", noise_wave(9000, 41));
  auto job = [&](const char* out, double snr, int64_t off) {
    return Job{d / out, d / "c.wav", d / "n.wav", snr, off, 4000, 9000, false};
  };
  Batch last({job("ref.wav", 7.0, 33)});
  last.run_next();
  std::vector<Job> jobs;
  for (int i = 0; i < 40; ++i) jobs.push_back(job(i % 2 ? "x.wav" : "./y.wav", -5.0 + i, 1 + i));
  jobs.push_back(job("sub/../x.wav", 7.0, 33));
  Batch b(jobs);
  EXPECT_EQ(b.overwritten(), 39u);
  b.start(4);
  b.join();
  EXPECT_EQ(b.finished(), jobs.size());
  auto bytes = [](const fs::path& p) {
    std::ifstream f(p, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(f)), {});
  };
  EXPECT_EQ(bytes(d / "x.wav"), bytes(d / "ref.wav"));
}
