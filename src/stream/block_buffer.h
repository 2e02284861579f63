// The buffer a block is read into, one page-aligned allocation, the same for a copy's own reads
// and for the reader thread's:
//
//   | writer's page | carried        | block read                         |
//   ^ start         ^      ^ text    ^ block() (a page)
//
// `carried` holds, just in front of the block, what the block before left: the bytes of a unit
// it cut (wide text), or the text the rule could not decide yet (single bytes). Where single
// bytes go out from where they lie, the writer puts what it holds back, less than a page, in
// front of the text. The kernel copies a block into or out of a buffer that starts on a page
// about twice as fast as into one that does not, and std::vector's storage never does: so it is
// over-allocated and aligned by std::align (a heap asked for page alignment itself may map every
// such buffer afresh).
#pragma once

#include <cstddef>
#include <memory>

constexpr std::size_t pageSize = 4096;

class BlockBuffer
{
  public:
    // Room in front of the block: a page for what the writer holds back, and one for what is
    // carried (stream_copy.cpp asserts that the most carried fits).
    static constexpr std::size_t roomBefore = 2 * pageSize;

    explicit BlockBuffer(std::size_t blockSize)
        : storage_(new char[roomBefore + blockSize + pageSize - 1])
    {
        void *at = storage_.get();
        std::size_t room = roomBefore + blockSize + pageSize - 1;
        block_ = static_cast<char *>(std::align(pageSize, roomBefore + blockSize, at, room)) +
                 roomBefore;
    }
    // Where a block is read to, with roomBefore bytes free in front of it.
    char *block() const { return block_; }

  private:
    std::unique_ptr<char[]> storage_;
    char *block_ = nullptr;
};

// A buffer of `size` bytes that starts on a page, for what the writer gathers.
class PageBuffer
{
  public:
    explicit PageBuffer(std::size_t size) : storage_(new char[size + pageSize - 1])
    {
        void *at = storage_.get();
        std::size_t room = size + pageSize - 1;
        start_ = static_cast<char *>(std::align(pageSize, size, at, room));
    }
    char *get() const { return start_; }

  private:
    std::unique_ptr<char[]> storage_;
    char *start_ = nullptr;
};
