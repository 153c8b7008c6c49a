// `tv::Local`: a Python reference owned by a coroutine frame and shown to the garbage collector.
// Included through async.hpp (its registration with the running frame is defined in promise.hpp).
#pragma once

#include "py.hpp"

#include <utility>

namespace tv {

struct CoroPromise;

// A Python reference owned by a coroutine frame, visible to the garbage collector while the frame is
// suspended: declare every local that lives across an await as a `Local`. It is the `nb::object` it
// holds in every other respect. It registers with the frame running when it is made (outside any
// coroutine it is a plain owned handle) and leaves when destroyed, so a frame only ever reports its
// own live references. It is neither copied nor moved: it stays where it was declared.
class Local : public nb::object {
public:
    Local() noexcept { link(); }
    Local(nb::object o) noexcept : nb::object(std::move(o)) { link(); }
    Local(const Local&) = delete;
    Local& operator=(const Local& o) {
        nb::object::operator=(nb::borrow(o));
        return *this;
    }
    Local& operator=(nb::object o) noexcept {
        nb::object::operator=(std::move(o));
        return *this;
    }
    ~Local() { unlink(); }

    const Local* next_registered() const noexcept { return next_; }

private:
    friend struct CoroPromise;
    inline void link() noexcept;
    void unlink() noexcept {
        if (!pprev_) return;
        *pprev_ = next_;
        if (next_) next_->pprev_ = pprev_;
        pprev_ = nullptr;
    }
    Local* next_ = nullptr;
    Local** pprev_ = nullptr;
};

}  // namespace tv
