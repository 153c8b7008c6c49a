// TV_MODULE(name, m): defines an extension module like NB_MODULE, except that an error raised while
// the module is being set up propagates as itself. A module whose host import is missing then fails
// to load with that very ModuleNotFoundError or ImportError, as a Python module's `from x import y`
// would, rather than with a generic ImportError wrapped around it.
//
// A module is initialised once per process. Its functions reach its state (interned names, logger,
// globals) through one process-wide instance, so a second module object made after the first was
// removed from sys.modules would take that state over from under the first one's functions; the second
// initialisation is refused with an ImportError instead.
//
// It repeats nanobind's own module prologue, so it is tied to the nanobind release pinned in
// pyproject.toml; the check below stops the build if another one is used.
#pragma once

#include "py.hpp"

#if NB_VERSION_MAJOR != 3 || NB_VERSION_MINOR != 1
#error "TV_MODULE follows nanobind 3.1's module prologue; check it against this nanobind release"
#endif

// clang-format off
#define TV_MODULE(name, variable)                                                                  \
    static void tv_##name##_exec_impl(nanobind::module_);                                          \
    static int tv_##name##_exec(PyObject* m) {                                                     \
        static bool initialised = false;                                                           \
        if (initialised) {                                                                         \
            PyErr_Format(PyExc_ImportError,                                                        \
                         "%s is already initialised in this process and cannot be initialised "   \
                         "again; keep using the module from the first import",                    \
                         PyModule_GetName(m));                                                 \
            return -1;                                                                             \
        }                                                                                          \
        nanobind::detail::internals = NB_CALL(nb_module_init)(NB_DOMAIN_STR, m);                   \
        if (!nanobind::detail::internals) return -1;                                               \
        try {                                                                                      \
            tv_##name##_exec_impl(nanobind::borrow<nanobind::module_>(m));                         \
            initialised = true;                                                                    \
            return 0;                                                                              \
        } catch (...) {                                                                            \
            ::tv::set_error_from_current_exception();                                              \
        }                                                                                          \
        return -1;                                                                                 \
    }                                                                                              \
    static PyObject* tv_##name##_def = nullptr;                                                    \
    extern "C" [[maybe_unused]] NB_EXPORT PyObject* PyInit_##name(void);                           \
    extern "C" PyObject* PyInit_##name(void) {                                                     \
        nanobind::detail::init_singletons();                                                       \
        if (!nanobind::detail::nb_backend_init(#name)) return nullptr;                             \
        if (!tv_##name##_def)                                                                      \
            tv_##name##_def = NB_CALL(module_new)(#name, nullptr, (void*)tv_##name##_exec, NB_ABI_MINOR_TAG); \
        return tv_##name##_def;                                                                    \
    }                                                                                              \
    void tv_##name##_exec_impl(nanobind::module_ variable)
// clang-format on
