#include <gtest/gtest.h>
#include <sys/stat.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <vector>

#include "vemio/util/atomic_file.hpp"
#include "vemio/util/error.hpp"
#include "vemio/util/pool.hpp"

namespace fs = std::filesystem;
using namespace vemio::util;

TEST(IndexPool, EveryIndexOnceWithPerWorkerState) {
  const size_t n = 5000;
  std::vector<int> hits(n, 0);
  std::vector<size_t> per_worker(3, 0);
  IndexPool pool(n, 3, [&](size_t i, int w) {
    hits[i] += 1;
    per_worker[static_cast<size_t>(w)] += 1;  // a worker's own slot: no lock needed
  });
  size_t seen = 0;
  while (!pool.idle()) seen = pool.wait(seen, std::chrono::milliseconds(20));
  pool.join();
  EXPECT_EQ(pool.finished(), n);
  for (int h : hits) ASSERT_EQ(h, 1);
  EXPECT_EQ(per_worker[0] + per_worker[1] + per_worker[2], n);
  EXPECT_EQ(worker_count(8, 3), 3);
  EXPECT_EQ(worker_count(2, 0), 1);
}

TEST(IndexPool, FirstFailureStopsTheHandOutAndIsRethrown) {
  std::atomic<size_t> ran{0};
  IndexPool pool(100000, 2, [&](size_t i, int) {
    ran.fetch_add(1);
    if (i == 10) throw std::runtime_error("job 10");
    // later jobs take long enough that the failure is seen well before the end
    if (i > 10) std::this_thread::sleep_for(std::chrono::microseconds(200));
  });
  EXPECT_THROW(
      try { pool.join(); } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "job 10");
        throw;
      },
      std::runtime_error);
  EXPECT_LT(ran.load(), 100000u);
}

TEST(ParallelFor, CoversTheRangeInChunksAndRethrows) {
  std::vector<int> v(10007, 0);
  parallel_for(v.size(), 100, 4, [&](size_t b, size_t e) {
    for (size_t i = b; i < e; ++i) v[i] += 1;
  });
  for (int x : v) ASSERT_EQ(x, 1);
  EXPECT_THROW(parallel_for(1000, 1, 4,
                            [](size_t b, size_t) {
                              if (b > 0) throw std::logic_error("chunk");
                            }),
               std::logic_error);
}

TEST(AtomicFile, WholeOrNothingWithUmaskPermissions) {
  const fs::path d = fs::temp_directory_path() / ("vemio_atomic_" + std::to_string(::getpid()));
  fs::create_directories(d);
  const fs::path f = d / "out.csv";
  const mode_t old = ::umask(022);
  write_file_atomic(f, "a,b\n1,2\n");
  ::umask(old);
  EXPECT_EQ(fs::file_size(f), 8u);
  EXPECT_EQ(fs::status(f).permissions() & fs::perms::all,
            fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read | fs::perms::others_read);
  // a writer that fails leaves the earlier file and no temporary behind
  EXPECT_THROW(replace_file_atomic(f,
                                   [](const fs::path& tmp) {
                                     std::ofstream(tmp) << "half";
                                     throw std::runtime_error("interrupted");
                                   }),
               std::runtime_error);
  EXPECT_EQ(fs::file_size(f), 8u);
  EXPECT_EQ(std::distance(fs::directory_iterator(d), fs::directory_iterator()), 1);
  {  // a header and its data in one call, either part possibly empty
    AtomicFile two(d / "two.bin");
    two.write("head", 4, "body!", 5);
    two.write("", 0, "+", 1);
    two.write("-", 1, "", 0);
    two.commit();
  }
  std::ifstream in(d / "two.bin", std::ios::binary);
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), "headbody!+-");
  fs::remove(d / "two.bin");
  {  // without a name: nothing in the folder until commit, nothing at all without it
    AtomicFile gone(d / "gone.bin", false);
    gone.write("x", 1);
    EXPECT_EQ(std::distance(fs::directory_iterator(d), fs::directory_iterator()), 1);
  }
  EXPECT_FALSE(fs::exists(d / "gone.bin"));
  // an existing file is replaced whole, with the new file's umask permissions
  fs::permissions(f, fs::perms::owner_all);
  const mode_t before = ::umask(027);
  write_file_atomic(f, "replaced");
  ::umask(before);
  std::ifstream again(f, std::ios::binary);
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(again), {}), "replaced");
  EXPECT_EQ(fs::status(f).permissions() & fs::perms::all,
            fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
  EXPECT_EQ(std::distance(fs::directory_iterator(d), fs::directory_iterator()), 1);
  EXPECT_THROW(write_file_atomic(d / "missing" / "x", "y"), vemio::FileError);
  fs::remove_all(d);
}
