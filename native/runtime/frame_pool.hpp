// Where coroutine frames come from: a free list per size class. Included through async.hpp.
#pragma once

#include "py.hpp"

#include <cstddef>
#include <new>

namespace tv {
namespace detail {

// Where coroutine frames come from. Every call of a coroutine function allocates its frame, and a
// chat turn or a dispatched message makes a few of them, always of the same few sizes; a free list
// per size class (64-byte steps up to 4 KiB, a bounded number kept of each) serves them after the
// first turn without reaching malloc. Frames are only made and destroyed with the GIL held, which
// is what guards the lists; a free-threaded build uses the global allocator directly, and so does
// a build with AddressSanitizer, so that it still sees every frame's lifetime.
#if defined(Py_GIL_DISABLED) || defined(__SANITIZE_ADDRESS__)
#define TV_FRAME_POOL 0
#else
#define TV_FRAME_POOL 1
#endif
class FramePool {
public:
    static void* allocate(std::size_t size) {
#if TV_FRAME_POOL
        std::size_t c = size_class(size);
        if (c < classes && heads_[c]) {
            Node* n = heads_[c];
            heads_[c] = n->next;
            --counts_[c];
            return n;
        }
        return ::operator new(c < classes ? (c + 1) * granule : size);
#else
        return ::operator new(size);
#endif
    }

    static void release(void* p, std::size_t size) noexcept {
#if TV_FRAME_POOL
        std::size_t c = size_class(size);
        if (c < classes && counts_[c] < kept) {
            heads_[c] = new (p) Node{heads_[c]};
            ++counts_[c];
            return;
        }
        ::operator delete(p, c < classes ? (c + 1) * granule : size);
#else
        ::operator delete(p, size);
#endif
    }

private:
    static constexpr std::size_t granule = 64, classes = 64, kept = 32;
    struct Node {
        Node* next;
    };
    static std::size_t size_class(std::size_t size) noexcept { return (size - 1) / granule; }
    static inline Node* heads_[classes] = {};
    static inline unsigned counts_[classes] = {};
};

}  // namespace detail
}  // namespace tv
