#include <gtest/gtest.h>
#include <unistd.h>

#include <cmath>
#include <fstream>
#include <random>

#include "vemio/audio/audio.hpp"
#include "vemio/corpus/corpus.hpp"

namespace corpus = vemio::corpus;
namespace fs = std::filesystem;

namespace {

std::vector<float> noise_wave(size_t n, unsigned seed, float amp = 0.3f) {
  std::mt19937 g(seed);
  std::uniform_real_distribution<float> u(-amp, amp);
  std::vector<float> x(n);
  for (float& v : x) v = u(g);
  return x;
}

// a room response: silence, a direct-path impulse, then an exponentially decaying noise tail
std::vector<float> room(size_t delay, size_t length, int rate, unsigned seed) {
  std::vector<float> h = noise_wave(length, seed, 0.2f);
  for (size_t i = 0; i < length; ++i)
    h[i] = i < delay ? 0.0f : (i == delay ? 1.0f : h[i] * float(std::exp(-double(i - delay) / (0.08 * rate))));
  return h;
}

double direct_sum(std::span<const float> x, std::span<const float> h, size_t k) {
  double s = 0;
  for (size_t j = 0; j < h.size(); ++j)
    if (k >= j && k - j < x.size()) s += double(x[k - j]) * double(h[j]);
  return s;
}

double energy(std::span<const double> x) {
  double s = 0;
  for (double v : x) s += v * v;
  return s;
}

struct TempDir {
  fs::path path;
  TempDir() {
    path = fs::temp_directory_path() /
           ("vemio_corpus_" + std::to_string(::getpid()) + "_" + std::to_string(std::random_device{}()));
    fs::create_directories(path);
  }
  ~TempDir() { fs::remove_all(path); }
};

void write_wave(const fs::path& p, const std::vector<float>& x, int rate) {
  std::vector<int16_t> pcm(x.size());
  for (size_t i = 0; i < x.size(); ++i) pcm[i] = vemio::audio::float_to_pcm16(x[i]);
  vemio::audio::write_wav16(p, pcm, rate, 1);
}

}  // namespace

TEST(CorpusSignal, FftConvolutionMatchesTheDirectSumOverAnyRange) {
  const auto x = noise_wave(1000, 1), h = noise_wave(77, 2);
  const size_t full = x.size() + h.size() - 1;
  for (auto [begin, count] : {std::pair<size_t, size_t>{0, full}, {40, 1000}, {1050, 100}}) {
    const std::vector<double> y = corpus::convolve(x, h, begin, count);
    ASSERT_EQ(y.size(), count);
    for (size_t i = 0; i < count; ++i) {
      const double want = begin + i < full ? direct_sum(x, h, begin + i) : 0.0;
      ASSERT_NEAR(y[i], want, 1e-12) << begin + i;
    }
  }
}

TEST(CorpusSignal, ReverberantSpeechAndTargetAreAlignedWithTheDrySpeech) {
  const int rate = 16000;
  const auto clean = noise_wave(4000, 3);
  // a pure delayed impulse: both signals are the clean speech scaled, without delay
  std::vector<float> impulse(300, 0.0f);
  impulse[123] = -0.5f;
  corpus::Speech s = corpus::speech_of(clean, impulse, rate);
  ASSERT_EQ(s.heard.size(), clean.size());
  for (size_t i = 0; i < clean.size(); ++i) {
    ASSERT_NEAR(s.heard[i], -0.5 * clean[i], 1e-12);
    ASSERT_NEAR(s.target[i], -0.5 * clean[i], 1e-12);
  }
  // with a tail: the target keeps the direct path and 50 ms after it, the speech everything
  const size_t d = 200;
  const auto h = room(d, 8000, rate, 4);
  EXPECT_EQ(corpus::direct_path(h), d);
  s = corpus::speech_of(clean, h, rate);
  const size_t early = d + 1 + 800;
  for (size_t i = 0; i < clean.size(); i += 37) {
    ASSERT_NEAR(s.heard[i], direct_sum(clean, h, d + i), 1e-9);
    ASSERT_NEAR(s.target[i], direct_sum(clean, std::span<const float>(h).first(early), d + i), 1e-9);
  }
  // dry rows keep the clean samples
  s = corpus::speech_of(clean, {}, rate);
  EXPECT_TRUE(s.target.empty());
  EXPECT_EQ(s.heard[17], double(clean[17]));
}

TEST(CorpusSignal, NoiseSegmentsAreCutAtTheOffsetOrRepeated) {
  std::vector<float> noise = {1, 2, 3, 4, 5};
  EXPECT_EQ(corpus::noise_segment(noise, 2, 3), (std::vector<double>{3, 4, 5}));
  EXPECT_EQ(corpus::noise_segment(noise, 0, 12), (std::vector<double>{1, 2, 3, 4, 5, 1, 2, 3, 4, 5, 1, 2}));
  EXPECT_EQ(corpus::noise_segment(noise, 3, 7), (std::vector<double>{4, 5, 1, 2, 3, 4, 5}));
  EXPECT_THROW(corpus::noise_segment(noise, 3, 3), std::out_of_range);
  EXPECT_THROW(corpus::noise_segment(noise, 5, 7), std::out_of_range);
  EXPECT_THROW(corpus::noise_segment(noise, -1, 2), std::out_of_range);
  EXPECT_THROW(corpus::noise_segment({}, 0, 2), std::out_of_range);
}

TEST(CorpusMix, SnrAndLevelAreExactAndPeaksStayBelowTheLimit) {
  const auto clean = noise_wave(16000, 5, 0.1f);
  const auto noise = noise_wave(16000, 6, 0.2f);
  const corpus::Speech s = corpus::speech_of(clean, {}, 16000);
  const std::vector<double> seg(noise.begin(), noise.end());
  for (double snr : {-5.0, 0.0, 7.5, 20.0}) {
    for (double level : {std::nan(""), -25.0, -40.0}) {
      const corpus::Mixture m = corpus::mix(s, seg, snr, level);
      ASSERT_NEAR(m.result.snr_measured, snr, 1e-9);
      // recompute from the gains: the SNR and level hold on the float64 signals
      std::vector<double> sp(s.heard), nz(seg);
      for (double& v : sp) v *= m.result.clean_gain;
      for (double& v : nz) v *= m.result.noise_gain;
      EXPECT_NEAR(10 * std::log10(energy(sp) / energy(nz)), snr, 1e-9);
      if (!std::isnan(level) && !m.result.clipped_avoided) {
        EXPECT_NEAR(10 * std::log10(energy(sp) / double(sp.size())), level, 1e-9);
      }
      if (std::isnan(level) && !m.result.clipped_avoided) {
        EXPECT_EQ(m.result.clean_gain, 1.0);
      }
      EXPECT_LE(m.result.peak, corpus::kMaxPeak + 1e-12);
      // the written mixture is the quantised sum
      for (size_t i = 0; i < sp.size(); i += 101) {
        EXPECT_EQ(m.noisy[i], vemio::audio::float_to_pcm16(sp[i] + nz[i]));
        EXPECT_EQ(m.target[i], vemio::audio::float_to_pcm16(sp[i]));
      }
    }
  }
  // loud speech at a low SNR would clip: both gains shrink together, the SNR stays
  const corpus::Mixture loud = corpus::mix(s, seg, -10.0, -3.0);
  EXPECT_TRUE(loud.result.clipped_avoided);
  EXPECT_NEAR(loud.result.peak, corpus::kMaxPeak, 1e-12);
  EXPECT_NEAR(loud.result.snr_measured, -10.0, 1e-9);
}

TEST(CorpusMix, DecodedFloatsGiveTheBitsOfTheFloat64Path) {
  // lengths that leave 0..3 samples after the four-sample lanes; gains with and without clipping
  for (size_t n : {1u, 6u, 4001u, 4002u, 4003u, 4004u}) {
    const auto clean = noise_wave(n, 11 + unsigned(n), 0.4f);
    const auto noise = noise_wave(n, 12 + unsigned(n), 0.3f);
    const corpus::Speech s = corpus::speech_of(clean, {}, 16000);
    const std::vector<double> seg(noise.begin(), noise.end());
    for (double level : {std::nan(""), -20.0, -1.0}) {
      const corpus::Mixture ref = corpus::mix(s, seg, 3.0, level);
      std::vector<int16_t> noisy(n), target(n), noisy2(n), target2(n);
      const corpus::Result a = corpus::mix_pcm(clean, noise, 3.0, level, "row", noisy.data(), target.data());
      const corpus::Result b = corpus::mix_pcm(clean, seg, 3.0, level, "row", noisy2.data(), target2.data());
      for (const corpus::Result* r : {&a, &b}) {
        EXPECT_EQ(r->clean_gain, ref.result.clean_gain);
        EXPECT_EQ(r->noise_gain, ref.result.noise_gain);
        EXPECT_EQ(r->snr_measured, ref.result.snr_measured);
        EXPECT_EQ(r->peak, ref.result.peak);
        EXPECT_EQ(r->clipped_avoided, ref.result.clipped_avoided);
      }
      EXPECT_EQ(noisy, ref.noisy);
      EXPECT_EQ(target, ref.target);
      EXPECT_EQ(noisy2, ref.noisy);
      EXPECT_EQ(target2, ref.target);
      // a target given as a copy of the speech is the dry case under another name
      const corpus::Speech wet{s.heard, s.heard};
      const corpus::Mixture same = corpus::mix(wet, seg, 3.0, level);
      EXPECT_EQ(same.noisy, ref.noisy);
      EXPECT_EQ(same.target, ref.target);
      EXPECT_EQ(same.result.peak, ref.result.peak);
    }
  }
  EXPECT_TRUE(
      corpus::mix(corpus::speech_of(noise_wave(999, 1, 0.9f), {}, 16000), std::vector<double>(999, 0.5), 0.0, -1.0)
          .result.clipped_avoided);
}

TEST(CorpusMix, SilentSpeechOrNoiseIsRefused) {
  const corpus::Speech silent{std::vector<double>(100, 0.0), {}};
  const corpus::Speech speech{std::vector<double>(100, 0.1), {}};
  EXPECT_THROW(corpus::mix(silent, std::vector<double>(100, 0.1), 0, NAN), corpus::RowError);
  EXPECT_THROW(corpus::mix(speech, std::vector<double>(100, 0.0), 0, NAN), corpus::RowError);
}

TEST(CorpusLedger, RoundTripsResultsAndToleratesTornAndForeignLines) {
  TempDir dir;
  const fs::path file = dir.path / "render.ledger";
  corpus::Row a{"a", "c.wav", "n.wav", "", 5.0, 10, NAN, 16000};
  corpus::Row b = a;
  b.name = "b";
  corpus::Result ra{0.1234567890123456789, 3.0 / 7.0, 5.000000000001, 0.5, true};
  {
    corpus::Ledger l(file);
    l.append(a, ra);
    l.append(b, ra);
  }
  {  // garbage, a line of another layout and a torn last line, as a killed run may leave
    std::ofstream f(file, std::ios::app);
    f << "garbage\nx\t0123\t1\t2\t3\t4\t0\nc\t00000000000000";
  }
  auto got = corpus::read_ledger(file);
  ASSERT_EQ(got.size(), 2u);
  EXPECT_EQ(got["a"].key, corpus::row_key(a));
  EXPECT_EQ(got["a"].result.clean_gain, ra.clean_gain);
  EXPECT_EQ(got["b"].result.noise_gain, ra.noise_gain);
  EXPECT_TRUE(got["b"].result.clipped_avoided);
  // the key follows every value that decides the bytes
  corpus::Row c = a;
  c.noise_offset = 11;
  EXPECT_NE(corpus::row_key(c), corpus::row_key(a));
  c = a;
  c.level_db = -25;
  EXPECT_NE(corpus::row_key(c), corpus::row_key(a));
  // after repair the next line starts cleanly
  corpus::repair_ledger(file);
  { corpus::Ledger(file).append(c, ra); }
  EXPECT_EQ(corpus::read_ledger(file).size(), 2u);  // c replaces a (same name)
  EXPECT_EQ(corpus::read_ledger(file)["a"].key, corpus::row_key(c));
  EXPECT_TRUE(corpus::read_ledger(dir.path / "missing").empty());
}

TEST(CorpusFiles, RowsRenderAndResumeFromTheLedger) {
  TempDir dir;
  const int rate = 8000;
  write_wave(dir.path / "c.wav", noise_wave(8000, 7, 0.2f), 16000);  // resampled to 8 kHz
  write_wave(dir.path / "n.wav", noise_wave(3000, 8, 0.2f), rate);   // shorter: repeated
  write_wave(dir.path / "r.wav", room(30, 2000, rate, 9), rate);
  fs::create_directories(dir.path / "out" / "noisy");
  fs::create_directories(dir.path / "out" / "clean");
  std::vector<corpus::Row> rows = {
      {"dry", dir.path / "c.wav", dir.path / "n.wav", "", 0.0, 100, -30, rate},
      {"wet", dir.path / "c.wav", dir.path / "n.wav", dir.path / "r.wav", 5.0, 0, NAN, rate}};
  corpus::check_rows(rows, 2);
  corpus::WaveStore store;
  {
    corpus::Ledger ledger(corpus::ledger_path(dir.path / "out"));
    for (size_t i = 0; i < rows.size(); ++i) {
      corpus::Result r = corpus::render_row(rows[i], i, dir.path / "out", store);
      EXPECT_NEAR(r.snr_measured, rows[i].snr_db, 1e-9);
      if (i == 0) ledger.append(rows[i], r);
    }
  }
  EXPECT_EQ(store.decodes(), 3u);  // the clean and noise files once each, the response once
  const vemio::audio::Decoded d = vemio::audio::decode(corpus::noisy_path(dir.path / "out", "wet"));
  EXPECT_EQ(d.rate, rate);
  EXPECT_EQ(d.frames, 4000);
  auto done = corpus::finished_rows(rows, dir.path / "out");
  EXPECT_TRUE(done[0].has_value());
  EXPECT_FALSE(done[1].has_value());  // rendered but never recorded
  fs::remove(corpus::clean_path(dir.path / "out", "dry"));
  EXPECT_FALSE(corpus::finished_rows(rows, dir.path / "out")[0].has_value());

  // temporaries of an interrupted write go, other files stay
  std::ofstream(dir.path / "out" / "noisy" / "x.wav.tmp-123-4") << "x";
  std::ofstream(dir.path / "out" / "noisy" / "x.tmp-a-4") << "x";
  EXPECT_EQ(corpus::remove_temporaries(dir.path / "out" / "noisy"), 1u);
  EXPECT_TRUE(fs::exists(dir.path / "out" / "noisy" / "x.tmp-a-4"));
}

TEST(CorpusFiles, ChecksNameTheRowAndTheFile) {
  TempDir dir;
  write_wave(dir.path / "c.wav", noise_wave(1600, 10), 16000);
  write_wave(dir.path / "n.wav", noise_wave(3200, 11), 16000);
  write_wave(dir.path / "silent.wav", std::vector<float>(1600, 0.0f), 16000);
  write_wave(dir.path / "empty.wav", {}, 16000);
  const corpus::Row good{"ok", dir.path / "c.wav", dir.path / "n.wav", "", 0.0, 1600, NAN, 16000};
  auto refused = [&](corpus::Row bad, const std::string& part) {
    std::vector<corpus::Row> rows = {good, bad};
    try {
      corpus::check_rows(rows, 1);
      ADD_FAILURE() << "accepted: " << part;
    } catch (const std::exception& e) {
      const std::string what = e.what();
      EXPECT_NE(what.find("row 1 (bad)"), std::string::npos) << what;
      EXPECT_NE(what.find(part), std::string::npos) << what;
    }
  };
  corpus::Row bad = good;
  bad.name = "bad";
  EXPECT_NO_THROW(corpus::check_rows({good, bad}, 1));
  corpus::Row r = bad;
  r.clean = dir.path / "missing.wav";
  refused(r, "missing.wav");
  r = bad;
  r.noise = dir.path / "empty.wav";
  refused(r, "empty.wav");
  r = bad;
  r.clean = dir.path / "silent.wav";
  refused(r, "silent");
  r = bad;
  r.noise_offset = 1601;
  refused(r, "offset 1601");
  r = bad;
  r.snr_db = INFINITY;
  refused(r, "SNR");
  r = bad;
  r.rir = dir.path / "nope.wav";
  refused(r, "nope.wav");
  r = bad;
  r.name = "bad/";
  std::vector<corpus::Row> rows = {good, r};
  EXPECT_THROW(corpus::check_rows(rows, 1), corpus::RowError);
}
