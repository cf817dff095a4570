// The one thread pool of the core: a fixed list of indexed tasks handed out in order to a few
// worker threads, with progress the calling thread can wait on, cancellation and the first
// failure rethrown. Batch loading, rendering, features and scoring all run on it.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <exception>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

namespace vemio::util {

// Threads to use for `items` independent items when the caller asks for `wanted` (0 or less:
// one per core): never more than there are items, at least one.
int worker_count(int wanted, size_t items);

// Runs task(index, worker) for every index in [0, n) on up to `workers` threads (worker is
// 0 .. workers()-1, so a task may keep per-worker state). Indices are handed out in increasing
// order; results belong in slots the caller keeps by index, so they come back in input order
// whatever the completion order. The first exception stops the hand-out of further indices
// and is rethrown by join(); cancel() stops it too (tasks already running finish). The
// destructor cancels and joins.
class IndexPool {
 public:
  using Task = std::function<void(size_t index, int worker)>;

  IndexPool(size_t n, int workers, Task task);
  ~IndexPool();
  IndexPool(const IndexPool&) = delete;
  IndexPool& operator=(const IndexPool&) = delete;

  int workers() const { return static_cast<int>(threads_.size()); }
  size_t size() const { return n_; }
  size_t finished() const { return done_.load(); }
  // True when no worker will finish another task (all done, failed or cancelled).
  bool idle() const { return running_.load() == 0; }
  // Blocks until more than `seen` tasks are finished, the workers have all stopped, or
  // `timeout` passed; returns the number of finished tasks.
  size_t wait(size_t seen, std::chrono::milliseconds timeout);
  void cancel() { stop_.store(true); }
  // Waits for the workers and rethrows the first failure.
  void join();

 private:
  void work(int worker);

  size_t n_;
  Task task_;
  std::atomic<size_t> next_{0}, done_{0};
  std::atomic<bool> stop_{false};
  std::atomic<int> running_{0};
  std::mutex mu_;
  std::condition_variable cv_;
  std::exception_ptr error_;
  std::vector<std::thread> threads_;
};

// body(begin, end) over [0, n) cut into contiguous chunks of at least `grain` items, on at
// most `max_threads` threads (0 or less: one per core); the calling thread takes the first
// chunk. Returns when all chunks are done and rethrows the first failure.
void parallel_for(size_t n, size_t grain, int max_threads, const std::function<void(size_t, size_t)>& body);

}  // namespace vemio::util
