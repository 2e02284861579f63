// A buffer that starts on a page. The kernel copies a block into or out of a buffer that starts
// on a page about twice as fast as into one that does not, and std::vector's storage never does.
// Over-allocated and aligned by std::align: a heap asked for page alignment itself may map every
// such buffer afresh.
#pragma once

#include <cstddef>
#include <memory>

constexpr std::size_t pageSize = 4096;

struct PageBuffer {
    std::unique_ptr<char[]> storage;
    char *start = nullptr;

    explicit PageBuffer(std::size_t size) : storage(new char[size + pageSize - 1])
    {
        void *at = storage.get();
        std::size_t room = size + pageSize - 1;
        start = static_cast<char *>(std::align(pageSize, size, at, room));
    }
    char *get() const { return start; }
};
