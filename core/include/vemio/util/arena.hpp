// Memory for the arrays of one batch of decoded files.
#pragma once

#include <cstddef>
#include <memory>
#include <utility>

namespace vemio::util {

// Touching fresh pages dominates the cost of loading many short files, so a batch carves its
// arrays out of large blocks that the kernel may back with huge pages (one fault per 2 MiB
// instead of one per 4 KiB). A block lives as long as any of its arrays holds its shared
// pointer. One arena per thread: allocation takes no lock.
class BatchArena {
 public:
  struct Block {
    char* base = nullptr;
    size_t size = 0;
    size_t used = 0;
    Block() = default;
    Block(const Block&) = delete;
    Block& operator=(const Block&) = delete;
    ~Block();
  };

  // Memory for n floats (64-byte aligned) and the block that owns it; {nullptr, nullptr} when
  // no block could be mapped (the caller then uses memory of its own).
  std::pair<float*, std::shared_ptr<Block>> allocate(size_t n);

 private:
  std::shared_ptr<Block> block_;
};

}  // namespace vemio::util
