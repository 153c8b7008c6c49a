// `tv::Coro`, the return type of C++ coroutine functions, and its promise: the frame's state that the
// driver and the awaiters share. Included through async.hpp.
#pragma once

#include "frame_pool.hpp"
#include "local.hpp"
#include "py.hpp"

#include <coroutine>
#include <cstddef>
#include <exception>
#include <type_traits>
#include <utility>

namespace tv {

struct CoroPromise;
using CoroHandle = std::coroutine_handle<CoroPromise>;

// The return type of C++ coroutine functions. Owns the frame until `make_coroutine` takes it; nothing
// else reaches the frame, which from then on only the coroutine object's driver resumes or destroys.
class [[nodiscard]] Coro {
public:
    using promise_type = CoroPromise;
    Coro(Coro&& o) noexcept : h(std::exchange(o.h, {})) {}
    Coro(const Coro&) = delete;
    Coro& operator=(const Coro&) = delete;
    ~Coro() {
        if (h) h.destroy();
    }

private:
    friend struct CoroPromise;  // get_return_object
    friend nb::object make_coroutine(Coro&& c, PyObject* name, PyObject* qualname);
    explicit Coro(CoroHandle h) : h(h) {}
    CoroHandle h;
};

class AwaitBase;

namespace detail {

// Thread-local state of the runtime uses the initial-exec model: read straight off the thread pointer
// instead of through a __tls_get_addr call, which on the hot path cost as much as the rest of an await.
// The few bytes come from the static TLS reserve that the dynamic loader keeps for modules loaded later.
#if defined(__GNUC__) && !defined(_WIN32)
#define TV_THREAD_LOCAL thread_local __attribute__((tls_model("initial-exec")))
#else
#define TV_THREAD_LOCAL thread_local
#endif

// The frame whose body is running on this thread, if any: where a new `Local` registers. Each
// extension module has its own, as it has its own coroutine type.
inline TV_THREAD_LOCAL CoroPromise* running_frame = nullptr;

// A parameter a coroutine may take: anything but a Python handle by reference, or a borrowed one,
// which the frame would not own and so could not report to the garbage collector.
template <typename T>
constexpr bool frame_safe_param =
    !(std::is_reference_v<T> &&
      std::is_base_of_v<nb::handle, std::remove_cvref_t<T>>)&&!std::is_same_v<std::remove_cv_t<T>, nb::handle> &&
    !std::is_same_v<std::remove_cv_t<T>, PyObject*>;

}  // namespace detail

// An exception that a frame's code handles, kept as the interpreter keeps the one a coroutine handles:
// an entry of the thread's stack of handled exceptions (what `sys.exception()` and a bare `raise` read,
// and what an error raised meanwhile gets as its `__context__`), pushed while that code runs and popped
// when it suspends or stops handling it. The exception is borrowed from whoever set it; the entry owns a
// reference only while it is pushed, so nothing is held unseen across a suspension.
class Handling {
public:
    Handling() = default;
    explicit Handling(PyObject* exc) noexcept : exc_(exc) {}
    Handling(const Handling&) = delete;
    Handling& operator=(const Handling&) = delete;
    ~Handling() {
        if (ts_) pop();
    }
    void set(PyObject* exc) noexcept { exc_ = exc; }
    void push() noexcept {
        ts_ = PyThreadState_Get();
        item_.exc_value = Py_XNewRef(exc_);
        item_.previous_item = ts_->exc_info;
        ts_->exc_info = &item_;
    }
    // Entries above it were pushed and popped by the code it ran: it is the top one again.
    void pop() noexcept {
        ts_->exc_info = item_.previous_item;
        ts_ = nullptr;
        Py_CLEAR(item_.exc_value);  // never the last reference: the one who set it holds another
    }
    bool pushed() const noexcept { return ts_ != nullptr; }

private:
    PyObject* exc_ = nullptr;
    PyThreadState* ts_ = nullptr;
    _PyErr_StackItem item_{};
};

struct CoroPromise {
    static void* operator new(std::size_t size) { return detail::FramePool::allocate(size); }
    static void operator delete(void* p, std::size_t size) noexcept { detail::FramePool::release(p, size); }

    // The coroutine's parameters that hold Python objects: owned copies in the frame (see
    // `frame_safe_param`), shown to the garbage collector through the coroutine object.
    static constexpr int max_roots = 8;
    nb::object* roots[max_roots] = {};
    Local* locals = nullptr;  // the frame's registered locals, newest first

    CoroPromise() = default;
    template <typename... A>
    explicit CoroPromise(A&... params) noexcept {
        int i = 0;
        (remember(i, params), ...);
    }
    // Every parameter that is a Python handle (nb::object or a typed one like nb::dict) is recorded;
    // how many there may be is checked at compile time below.
    template <typename T>
    void remember(int& i, T& param) noexcept {
        if constexpr (std::is_base_of_v<nb::object, T>) roots[i++] = static_cast<nb::object*>(&param);
    }

    AwaitBase* suspended = nullptr;  // the awaiter the frame is suspended at
    // What the frame handles while an `async with` exit runs (the scope's, in the frame): the driver
    // pushes it around every send to the frame and pops it when the frame suspends.
    Handling* handling = nullptr;
    // Raw and owned (see CoroObject for why), released by the destructor unless the driver took them.
    PyObject* yielded = nullptr;   // owned: value to hand to the driver after a suspension
    PyObject* result = nullptr;    // owned: the co_return value (null means None)
    std::exception_ptr exception;  // an exception that escaped the body
    // Set while close() or deallocation destroys the suspended frame: the exception that Python would
    // raise at the await (null for GeneratorExit), replaced by the error of a failing clean-up (owned).
    PyObject** unwinding = nullptr;

    Coro get_return_object() noexcept { return Coro(CoroHandle::from_promise(*this)); }
    std::suspend_always initial_suspend() noexcept { return {}; }  // lazy, like `async def`
    std::suspend_always final_suspend() noexcept { return {}; }
    void return_value(nb::object v) noexcept { result = v.release().ptr(); }
    void unhandled_exception() noexcept { exception = std::current_exception(); }
    ~CoroPromise() {
        // Parameters are destroyed after the promise: whatever is still registered is let go of here.
        for (Local* l = locals; l;) {
            Local* next = l->next_;
            l->next_ = nullptr;
            l->pprev_ = nullptr;
            l = next;
        }
        Py_XDECREF(yielded);
        Py_XDECREF(result);
    }
};

inline void Local::link() noexcept {
    CoroPromise* frame = detail::running_frame;
    if (!frame) return;
    next_ = frame->locals;
    if (next_) next_->pprev_ = &next_;
    pprev_ = &frame->locals;
    frame->locals = this;
}

}  // namespace tv

// Every function returning `tv::Coro` is checked here for parameters its frame could not own.
template <typename... Args>
struct std::coroutine_traits<tv::Coro, Args...> {
    static_assert((tv::detail::frame_safe_param<Args> && ...),
                  "a coroutine takes Python objects by value (nb::object), never by reference or borrowed");
    static_assert((0 + ... + (std::is_base_of_v<nanobind::object, std::remove_cvref_t<Args>> ? 1 : 0)) <=
                      tv::CoroPromise::max_roots,
                  "a coroutine takes at most CoroPromise::max_roots Python objects");
    using promise_type = tv::CoroPromise;
};
