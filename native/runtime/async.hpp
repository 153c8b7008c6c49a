// C++20 coroutines that Python sees as coroutine objects.
//
// A C++ function returning `tv::Coro` is a coroutine whose body reads like an `async def`:
//
//     tv::Coro handler(nb::object ws) {
//         tv::Local text = TV_AWAIT(tv::call_method(ws, names.receive_text));
//         co_return text;
//     }
//
// `make_coroutine()` wraps the C++ coroutine in a `tavrin.Coroutine` object: a real coroutine for
// asyncio (`__await__`, `send`, `throw`, `close`, and the `am_send` slot that Task and `await` use),
// registered as a `collections.abc.Coroutine`.
//
// How the two worlds meet. `TV_AWAIT(x)` gets the iterator of the Python awaitable `x` and sends it
// None at once. When it completes straight away (the common case: an in-memory send, a lock that is
// free) the C++ coroutine does not suspend at all. When it yields (a Future, or None for a bare
// yield), the C++ coroutine suspends and the yielded value is handed, unchanged, to whoever drives
// the Python object (the event loop's Task). Later `send`/`throw` calls are delegated to that
// iterator, like `yield from`, until it finishes; then the C++ coroutine resumes with its result, or
// with its exception thrown as `nb::python_error`, so `try`/`catch` and RAII behave as
// `try`/`except`/`finally` do in Python. CancelledError travels the same way.
//
// `close()` and deallocation of a suspended coroutine close the awaited iterator and destroy the
// C++ frame: destructors run (locks are released, tasks cancelled) but no `catch` block does, the
// way GeneratorExit passes by `except Exception`. When closing the awaited iterator fails, its error
// is thrown in at the await instead, where the body may catch it, as an `async def` would have it.
// A chain of coroutines awaiting one another is closed link by link from the innermost, without
// nesting on the C stack, however deep it is.
//
// What the garbage collector sees. A suspended frame may sit in a reference cycle (a task holds its
// coroutine, whose frame holds the socket, whose handler holds the task), and the collector can only
// break the cycle when it is shown every reference the frame owns. The rule: every Python reference a
// frame holds across a suspension is visible to the collector, or is not held at all.
//   - Parameters are owned copies in the frame (taking a Python object by reference or borrowed is a
//     compile-time error) and are shown to the collector.
//   - Locals that live across an await are `tv::Local`: an owned handle that registers itself with the
//     frame that is running when it is made, and is shown to the collector while that frame is
//     suspended. A plain `nb::object` in a coroutine body never lives across an await.
//   - `TV_AWAIT(expr)` evaluates `expr` in a scope of its own, so none of its temporaries (the
//     awaitable, a module global fetched for the call, a string argument) outlives the suspension;
//     the awaiter owns the awaitable's iterator, which is shown to the collector.
#pragma once

#include "py.hpp"

#include <coroutine>
#include <cstddef>
#include <exception>
#include <new>
#include <type_traits>
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
class Local;

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
    !(std::is_reference_v<T> && std::is_base_of_v<nb::handle, std::remove_cvref_t<T>>) &&
    !std::is_same_v<std::remove_cv_t<T>, nb::handle> && !std::is_same_v<std::remove_cv_t<T>, PyObject*>;

}  // namespace detail

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

    AwaitBase* suspended = nullptr;   // the awaiter the frame is suspended at
    PyObject* yielded = nullptr;      // owned: value to hand to the driver after a suspension
    PyObject* result = nullptr;       // owned: the co_return value (null means None)
    std::exception_ptr exception;     // an exception that escaped the body
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

namespace tv {

// The state of one `co_await` on a Python awaitable.
struct AwaitBase {
    PyObject* iter = nullptr;    // owned: the awaitable's iterator while it has not finished
    PyObject* value = nullptr;   // owned: its result
    PyObject* error = nullptr;   // owned: the exception raised at the await
    PyObject* yielded = nullptr;  // owned until handed to the promise
    PyObject* guard = nullptr;    // owned: what the await keeps while suspended (a deadline), shown to the collector

    AwaitBase() = default;
    AwaitBase(const AwaitBase&) = delete;
    AwaitBase& operator=(const AwaitBase&) = delete;
    ~AwaitBase() {
        Py_XDECREF(guard);
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
        finish(r, res);
        return true;
    }

    // The iterator finished: exactly one of `res` / a pending error. The error is taken before the
    // iterator is let go of, whose deallocation may run Python code.
    void finish(PySendResult r, PyObject* res) noexcept {
        if (r == PYGEN_RETURN)
            value = res;
        else
            error = PyErr_GetRaisedException();
        Py_CLEAR(iter);
    }

    // An exception thrown into the coroutine at this await (by throw() or close()), delivered as the
    // interpreter delivers it: a StopIteration ends the await with its value, as if the awaited
    // iterator had returned it; anything else is raised at the await. Steals `exc`.
    void thrown_in(PyObject* exc) noexcept {
        if (PyObject_TypeCheck(exc, (PyTypeObject*)PyExc_StopIteration)) {
            PyObject* v = reinterpret_cast<PyStopIterationObject*>(exc)->value;
            value = Py_NewRef(v ? v : Py_None);
            Py_DECREF(exc);
        } else {
            error = exc;
        }
        Py_CLEAR(iter);
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

// Awaits an awaitable that it owns; the awaitable is let go of as soon as its iterator is taken.
struct Await : AwaitBase {
    PyObject* awaitable;  // owned until await_ready
    explicit Await(nb::object&& a) noexcept : awaitable(a.release().ptr()) {}
    Await(Await&&) = delete;
    ~Await() { Py_XDECREF(awaitable); }
    bool await_ready() noexcept {
        PyObject* a = std::exchange(awaitable, nullptr);
        PyObject* it = get_awaitable_iter(a);
        Py_DECREF(a);
        return start(it);
    }
    nb::object await_resume() { return take(); }
};

// The awaiter of `TV_AWAIT`; takes the awaitable over.
inline Await await_(nb::object&& awaitable) noexcept { return Await(std::move(awaitable)); }

// `await <expr>` in a coroutine body: gives the result of awaiting `expr`. The expression is evaluated
// in a lambda of its own, so that its temporaries are gone before the coroutine can suspend.
#define TV_AWAIT(...) (co_await ::tv::await_([&]() -> ::nanobind::object { return (__VA_ARGS__); }()))

// One step of `async for`: gives the next item, or a null handle at StopAsyncIteration. The iterator is
// asked for `__anext__` at every step, as the interpreter asks: its class may lose the method, or the
// object its class, between two items.
struct ANext : AwaitBase {
    PyObject* it;  // borrowed from the caller's `Local`
    explicit ANext(const Local& it) : it(it.ptr()) {}
    bool await_ready() noexcept {
        PyTypeObject* t = Py_TYPE(it);
        // An async generator's __anext__ gives its own awaitable iterator (the asend object); the
        // interpreter's `async for` sends to it directly, and so do we.
        if (PyAsyncGen_CheckExact(it)) return start(t->tp_as_async->am_anext(it));
        unaryfunc next = t->tp_as_async ? t->tp_as_async->am_anext : nullptr;
        if (!next) {
            PyErr_Format(PyExc_TypeError, "'async for' requires an iterator with __anext__ method, got %.100s",
                         t->tp_name);
            return start(nullptr);
        }
        PyObject* awaitable = next(it);
        if (!awaitable) return start(nullptr);
        PyObject* iter = get_awaitable_iter(awaitable);
        if (!iter) {
            // The interpreter's own wording for an __anext__ that returns something not awaitable, with
            // whatever made it so as the cause.
            PyObject* cause = PyErr_GetRaisedException();
            PyErr_Format(PyExc_TypeError, "'async for' received an invalid object from __anext__: %.100s",
                         Py_TYPE(awaitable)->tp_name);
            PyObject* exc = PyErr_GetRaisedException();
            PyException_SetCause(exc, Py_NewRef(cause));
            PyException_SetContext(exc, cause);
            PyErr_SetRaisedException(exc);
        }
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

inline ANext anext(const Local& it) { return ANext(it); }

// A `finally:` clause as an object: calls `obj.method()` when the scope ends, and a failure of that call
// behaves as a failing `finally` clause does in Python.
//   - On the normal path the error propagates from the end of the scope (the destructor throws).
//   - On the exceptional path, call `rethrow()` from a `catch (...)` around the guarded code: the
//     clean-up runs with the exception being handled as its context, and its error, if any, replaces
//     that exception with it as `__context__`; otherwise the exception is rethrown unchanged.
//   - When close() or deallocation destroys the suspended frame, a failure is what close() raises.
// Write it as one construct with TV_TRY_FINALLY, which puts the guard and its `catch` around the body:
//
//     TV_TRY_FINALLY(stop_watchdog, watchdog_task, names.cancel, {
//         ...body, which may await or co_return...
//     });
class Finally {
public:
    Finally(nb::handle obj, PyObject* method)
        : obj_(nb::borrow(obj)), method_(method), frame_(detail::running_frame),
          uncaught_(std::uncaught_exceptions()) {}
    Finally(const Finally&) = delete;
    Finally& operator=(const Finally&) = delete;
    [[noreturn]] void rethrow();
    ~Finally() noexcept(false);

private:
    bool run_handling(PyObject* handled) noexcept;
    Local obj_;
    PyObject* method_;
    CoroPromise* frame_;
    int uncaught_;
    bool done_ = false;
};

#define TV_TRY_FINALLY(guard, obj, method, ...) \
    {                                           \
        ::tv::Finally guard((obj), (method));   \
        try __VA_ARGS__ catch (...) {           \
            guard.rethrow();                    \
        }                                       \
    }

// `async with mgr:` as one construct, with the interpreter's protocol: `type(mgr).__aenter__` and
// `__aexit__` looked up when the statement starts, `__aenter__()` awaited, then the body, then
// `__aexit__` awaited with the exception that left the body (which a true result suppresses) or with
// three Nones:
//
//     TV_ASYNC_WITH(held, lock, {
//         ...body, which may await...
//     });
//
// The body must not leave by `co_return`, `break` or `continue` (a C++ coroutine cannot await on its
// way out of a scope): the exit is then run without being awaited, and an exit that would suspend is
// reported as unraisable. When close() or deallocation destroys the frame suspended in the body,
// `__aexit__` gets GeneratorExit (or the error closing the awaited iterator raised) and is driven
// without a loop; one that suspends there is what close() raises as "coroutine ignored GeneratorExit",
// as for `async def`, and a true result cannot resume a frame that is going away.
class AsyncWith {
public:
    explicit AsyncWith(nb::handle mgr);
    AsyncWith(const AsyncWith&) = delete;
    AsyncWith& operator=(const AsyncWith&) = delete;
    ~AsyncWith() noexcept;

    nb::object enter();         // `__aenter__()`, checked to be awaitable
    void begin() noexcept { entered_ = true; }  // its await is over: the body runs, and the exit is owed
    void caught() noexcept;     // from `catch (...)` around the body: the exception that left it
    nb::object exit();          // `__aexit__(...)` for the way the body ended, checked to be awaitable
    void finish(nb::handle result);  // after awaiting exit(): the body's exception again, unless suppressed
    void chain(const nb::python_error& e) noexcept;  // an error of the exit: the body's exception its context

private:
    bool exit_at_once(PyObject* exc) noexcept;  // the exit, driven without a loop; false with an error set
    Local mgr_, enter_, exit_, exc_;
    CoroPromise* frame_;
    bool entered_ = false, exited_ = false;
};

#define TV_ASYNC_WITH(scope, mgr, ...)            \
    ::tv::AsyncWith scope(mgr);                   \
    TV_AWAIT(scope.enter());                      \
    try {                                         \
        scope.begin();                            \
        __VA_ARGS__                               \
    } catch (...) {                               \
        scope.caught();                           \
    }                                             \
    try {                                         \
        scope.finish(TV_AWAIT(scope.exit()));     \
    } catch (::nanobind::python_error & e) {      \
        scope.chain(e);                           \
        throw;                                    \
    }

// Wraps a C++ coroutine in a Python coroutine object with the given __name__ and __qualname__.
nb::object make_coroutine(Coro&& c, PyObject* name, PyObject* qualname);

// Registers the coroutine type (once per extension module) and returns it.
PyTypeObject* coroutine_type();

}  // namespace tv

#include "async_impl.hpp"
#include "deadline.hpp"
