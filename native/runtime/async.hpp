// C++20 coroutines that Python sees as coroutine objects.
//
// A C++ function returning `tv::Coro` is a coroutine whose body reads like an `async def`:
//
//     tv::Coro handler(nb::object ws) {
//         nb::object r = co_await tv::await_(tv::call_method(ws, names.receive_text));
//         co_return r;
//     }
//
// `make_coroutine()` wraps the C++ coroutine in a `tavrin.Coroutine` object: a real coroutine for
// asyncio (`__await__`, `send`, `throw`, `close`, and the `am_send` slot that Task and `await` use),
// registered as a `collections.abc.Coroutine`.
//
// How the two worlds meet. `co_await await_(x)` gets the iterator of the Python awaitable `x` and
// sends it None at once. When it completes straight away (the common case: an in-memory send, a
// lock that is free) the C++ coroutine does not suspend at all. When it yields (a Future, or None
// for a bare yield), the C++ coroutine suspends and the yielded value is handed, unchanged, to
// whoever drives the Python object (the event loop's Task). Later `send`/`throw` calls are
// delegated to that iterator, like `yield from`, until it finishes; then the C++ coroutine resumes
// with its result, or with its exception thrown as `nb::python_error`, so `try`/`catch` and RAII
// behave as `try`/`except`/`finally` do in Python. CancelledError travels the same way.
//
// `close()` and deallocation of a suspended coroutine close the awaited iterator and destroy the
// C++ frame: destructors run (locks are released, tasks cancelled) but no `catch` block does, the
// way GeneratorExit passes by `except Exception`.
#pragma once

#include "py.hpp"

#include <coroutine>
#include <cstddef>
#include <exception>
#include <new>
#include <utility>

namespace tv {

struct CoroPromise;
using CoroHandle = std::coroutine_handle<CoroPromise>;

// The return type of C++ coroutine functions. Owns the frame until `make_coroutine` takes it.
struct [[nodiscard]] Coro {
    using promise_type = CoroPromise;
    CoroHandle h;
    explicit Coro(CoroHandle h) : h(h) {}
    Coro(Coro&& o) noexcept : h(std::exchange(o.h, {})) {}
    Coro(const Coro&) = delete;
    Coro& operator=(const Coro&) = delete;
    ~Coro() {
        if (h) h.destroy();
    }
};

struct AwaitBase;

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

struct CoroPromise {
    static void* operator new(std::size_t size) { return detail::FramePool::allocate(size); }
    static void operator delete(void* p, std::size_t size) noexcept { detail::FramePool::release(p, size); }

    // The coroutine's parameters that hold Python objects live in the frame; the garbage collector
    // is shown them (through the coroutine object) so that cycles through them can be collected.
    static constexpr int max_roots = 8;
    nb::object* roots[max_roots] = {};

    CoroPromise() = default;
    template <typename... A>
    explicit CoroPromise(A&... params) noexcept {
        int i = 0;
        (remember(i, params), ...);
    }
    template <typename T>
    void remember(int&, T&) noexcept {}
    void remember(int& i, nb::object& o) noexcept {
        if (i < max_roots) roots[i++] = &o;
    }

    AwaitBase* suspended = nullptr;   // the awaiter the frame is suspended at
    PyObject* yielded = nullptr;      // owned: value to hand to the driver after a suspension
    PyObject* result = nullptr;       // owned: the co_return value (null means None)
    std::exception_ptr exception;     // an exception that escaped the body

    Coro get_return_object() noexcept { return Coro(CoroHandle::from_promise(*this)); }
    std::suspend_always initial_suspend() noexcept { return {}; }  // lazy, like `async def`
    std::suspend_always final_suspend() noexcept { return {}; }
    void return_value(nb::object v) noexcept { result = v.release().ptr(); }
    void unhandled_exception() noexcept { exception = std::current_exception(); }
    ~CoroPromise() {
        Py_XDECREF(yielded);
        Py_XDECREF(result);
    }
};

// The state of one `co_await` on a Python awaitable.
struct AwaitBase {
    PyObject* iter = nullptr;    // owned: the awaitable's iterator while it has not finished
    PyObject* value = nullptr;   // owned: its result
    PyObject* error = nullptr;   // owned: the exception raised at the await
    PyObject* yielded = nullptr;  // owned until handed to the promise

    AwaitBase() = default;
    AwaitBase(const AwaitBase&) = delete;
    AwaitBase& operator=(const AwaitBase&) = delete;
    ~AwaitBase() {
        Py_XDECREF(iter);
        Py_XDECREF(value);
        Py_XDECREF(error);
        Py_XDECREF(yielded);
    }

    // Starts awaiting the iterator `it` (stolen). Returns true when it finished without suspending.
    bool start(PyObject* it) noexcept {
        if (!it) {
            error = PyErr_GetRaisedException();
            return true;
        }
        iter = it;
        PyObject* res = nullptr;
        PySendResult r = PyIter_Send(iter, Py_None, &res);
        if (r == PYGEN_NEXT) {
            yielded = res;
            return false;
        }
        Py_CLEAR(iter);
        if (r == PYGEN_RETURN)
            value = res;
        else
            error = PyErr_GetRaisedException();
        return true;
    }

    // Called by the driver when the iterator finished: exactly one of `res` / pending error.
    void finish(PySendResult r, PyObject* res) noexcept {
        Py_CLEAR(iter);
        if (r == PYGEN_RETURN)
            value = res;
        else
            error = PyErr_GetRaisedException();
    }

    void fail(PyObject* exc) noexcept {  // steals `exc`
        Py_CLEAR(iter);
        error = exc;
    }

    void await_suspend(CoroHandle h) noexcept {
        auto& p = h.promise();
        p.suspended = this;
        p.yielded = std::exchange(yielded, nullptr);
    }

    // The result, or the exception rethrown as a C++ exception.
    nb::object take() {
        if (error) {
            PyErr_SetRaisedException(std::exchange(error, nullptr));
            throw_error();
        }
        PyObject* v = std::exchange(value, nullptr);
        return v ? nb::steal(v) : none();
    }
};

// The iterator that `await x` drives: x itself for coroutines, else type(x).__await__(x).
inline PyObject* get_awaitable_iter(PyObject* o) noexcept;

struct Await : AwaitBase {
    PyObject* awaitable;  // borrowed; lives in the caller's full expression
    explicit Await(nb::handle a) : awaitable(a.ptr()) {}
    bool await_ready() noexcept { return start(get_awaitable_iter(awaitable)); }
    nb::object await_resume() { return take(); }
};

// `co_await await_(x)`: awaits the Python awaitable x and gives its result.
inline Await await_(nb::handle awaitable) { return Await(awaitable); }

// One step of `async for`: gives the next item, or a null handle at StopAsyncIteration.
struct ANext : AwaitBase {
    PyObject* it;  // borrowed
    explicit ANext(nb::handle it) : it(it.ptr()) {}
    bool await_ready() noexcept {
        PyObject* awaitable = Py_TYPE(it)->tp_as_async->am_anext(it);
        if (!awaitable) return start(nullptr);
        // An async generator's __anext__ gives its own awaitable iterator (the asend object); the
        // interpreter's `async for` sends to it directly, and so do we.
        if (PyAsyncGen_CheckExact(it)) return start(awaitable);
        PyObject* iter = get_awaitable_iter(awaitable);
        Py_DECREF(awaitable);
        return start(iter);
    }
    nb::object await_resume() {
        if (error && PyErr_GivenExceptionMatches(error, PyExc_StopAsyncIteration)) {
            Py_CLEAR(error);
            return nb::object();
        }
        return take();
    }
};

// `aiter(o)` as `async for` does it, with its error texts.
inline nb::object aiter(nb::handle o) {
    PyTypeObject* t = Py_TYPE(o.ptr());
    if (!t->tp_as_async || !t->tp_as_async->am_aiter)
        raisef(PyExc_TypeError, "'async for' requires an object with __aiter__ method, got %.100s", t->tp_name);
    nb::object it = check(t->tp_as_async->am_aiter(o.ptr()));
    PyTypeObject* it_t = Py_TYPE(it.ptr());
    if (!it_t->tp_as_async || !it_t->tp_as_async->am_anext)
        raisef(PyExc_TypeError,
               "'async for' received an object from __aiter__ that does not implement __anext__: %.100s",
               it_t->tp_name);
    return it;
}

inline ANext anext(nb::handle it) { return ANext(it); }

// Wraps a C++ coroutine in a Python coroutine object with the given __name__ and __qualname__.
nb::object make_coroutine(Coro&& c, PyObject* name, PyObject* qualname);

// Registers the coroutine type (once per extension module) and returns it.
PyTypeObject* coroutine_type();

}  // namespace tv

#include "async_impl.hpp"
