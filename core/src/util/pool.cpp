#include "vemio/util/pool.hpp"

#include <algorithm>

namespace vemio::util {

int worker_count(int wanted, size_t items) {
  if (wanted <= 0) wanted = static_cast<int>(std::max(1u, std::thread::hardware_concurrency()));
  return static_cast<int>(std::max<size_t>(1, std::min<size_t>(static_cast<size_t>(wanted), items)));
}

IndexPool::IndexPool(size_t n, int workers, Task task) : n_(n), task_(std::move(task)) {
  const int w = n == 0 ? 0 : worker_count(workers, n);
  running_.store(w);
  threads_.reserve(static_cast<size_t>(w));
  for (int i = 0; i < w; ++i) threads_.emplace_back([this, i] { work(i); });
}

IndexPool::~IndexPool() {
  cancel();
  for (auto& t : threads_)
    if (t.joinable()) t.join();
}

void IndexPool::work(int worker) {
  while (!stop_.load()) {
    const size_t i = next_.fetch_add(1);
    if (i >= n_) break;
    try {
      task_(i, worker);
    } catch (...) {
      std::lock_guard lock(mu_);
      if (!error_) error_ = std::current_exception();
      stop_.store(true);
      break;
    }
    done_.fetch_add(1);
    cv_.notify_all();
  }
  {
    std::lock_guard lock(mu_);
    running_.fetch_sub(1);
  }
  cv_.notify_all();
}

size_t IndexPool::wait(size_t seen, std::chrono::milliseconds timeout) {
  std::unique_lock lock(mu_);
  cv_.wait_for(lock, timeout, [&] { return done_.load() > seen || running_.load() == 0; });
  return done_.load();
}

void IndexPool::join() {
  for (auto& t : threads_)
    if (t.joinable()) t.join();
  std::exception_ptr e;
  {
    std::lock_guard lock(mu_);
    e = error_;
  }
  if (e) std::rethrow_exception(e);
}

void parallel_for(size_t n, size_t grain, int max_threads, const std::function<void(size_t, size_t)>& body) {
  if (n == 0) return;
  grain = std::max<size_t>(grain, 1);
  // a kernel never takes more threads than the machine has cores
  const int cores = static_cast<int>(std::max(1u, std::thread::hardware_concurrency()));
  const int threads = worker_count(max_threads <= 0 ? cores : std::min(max_threads, cores), (n + grain - 1) / grain);
  if (threads <= 1) {
    body(0, n);
    return;
  }
  const size_t chunk = (n + static_cast<size_t>(threads) - 1) / static_cast<size_t>(threads);
  const size_t chunks = (n + chunk - 1) / chunk;
  // chunk 0 runs here; the others on the pool
  IndexPool pool(chunks - 1, static_cast<int>(chunks - 1), [&](size_t i, int) {
    const size_t b = (i + 1) * chunk;
    body(b, std::min(n, b + chunk));
  });
  std::exception_ptr first;
  try {
    body(0, std::min(n, chunk));
  } catch (...) {
    first = std::current_exception();
  }
  try {
    pool.join();
  } catch (...) {
    if (!first) first = std::current_exception();
  }
  if (first) std::rethrow_exception(first);
}

}  // namespace vemio::util
