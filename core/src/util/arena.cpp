#include "vemio/util/arena.hpp"

#include <sys/mman.h>

#include <algorithm>
#include <cstdint>

namespace vemio::util {
namespace {

constexpr size_t kHuge = size_t(2) << 20;
constexpr size_t kBlock = size_t(32) << 20;

std::shared_ptr<BatchArena::Block> map_block(size_t bytes) {
  bytes = (bytes + kHuge - 1) & ~(kHuge - 1);
  const size_t span = bytes + kHuge;
  void* m = ::mmap(nullptr, span, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (m == MAP_FAILED) return nullptr;
  // align to a huge-page boundary and give back the unused head and tail
  const uintptr_t start = reinterpret_cast<uintptr_t>(m);
  const uintptr_t aligned = (start + kHuge - 1) & ~(uintptr_t(kHuge) - 1);
  if (aligned > start) ::munmap(m, aligned - start);
  const uintptr_t end = start + span, used_end = aligned + bytes;
  if (end > used_end) ::munmap(reinterpret_cast<void*>(used_end), end - used_end);
#ifdef MADV_HUGEPAGE
  ::madvise(reinterpret_cast<void*>(aligned), bytes, MADV_HUGEPAGE);
#endif
  auto b = std::make_shared<BatchArena::Block>();
  b->base = reinterpret_cast<char*>(aligned);
  b->size = bytes;
  return b;
}

}  // namespace

BatchArena::Block::~Block() {
  if (base) ::munmap(base, size);
}

std::pair<float*, std::shared_ptr<BatchArena::Block>> BatchArena::allocate(size_t n) {
  const size_t bytes = (n * sizeof(float) + 63) & ~size_t(63);
  if (!block_ || block_->used + bytes > block_->size) {
    block_ = map_block(std::max(bytes, kBlock));
    if (!block_) return {nullptr, nullptr};
  }
  float* p = reinterpret_cast<float*>(block_->base + block_->used);
  block_->used += bytes;
  return {p, block_};
}

}  // namespace vemio::util
