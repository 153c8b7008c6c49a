// Logging through the standard `logging` module, as a Python module's `logger.info(...)` would.
//
// Messages are built only when the level is enabled. Errors are logged with `exc_info` set to the
// exception instance, so handlers see the same record (and traceback) as after `except ... as e`.
#pragma once

#include "py.hpp"

namespace tv {

enum class Level : int { debug = 10, info = 20, warning = 30, error = 40 };

class Logger {
public:
    Logger() = default;
    explicit Logger(const char* name) {
        nb::object logging = check(PyImport_ImportModule("logging"));
        logger_ = check(PyObject_CallMethod(logging.ptr(), "getLogger", "s", name));
        is_enabled_for_ = Name("isEnabledFor");
        methods_[0] = Name("debug");
        methods_[1] = Name("info");
        methods_[2] = Name("warning");
        methods_[3] = Name("error");
        exc_info_kw_ = kwnames({"exc_info"});
    }

    nb::handle object() const { return logger_; }

    bool enabled(Level level) const {
        nb::object lv = check(PyLong_FromLong((long)level));
        return truthy(call_method(logger_, is_enabled_for_, lv));
    }

    // logger.<level>(msg, *args)
    template <typename... A>
    void log(Level level, nb::handle msg, const A&... args) const {
        call_method(logger_, method(level), msg, args...);
    }

    // logger.<level>(msg, *args, exc_info=exc)
    template <typename... A>
    void log_exc(Level level, nb::handle exc, nb::handle msg, const A&... args) const {
        call_method_kw(logger_, method(level), exc_info_kw_, msg, args..., exc);
    }

private:
    PyObject* method(Level level) const {
        switch (level) {
            case Level::debug: return methods_[0];
            case Level::info: return methods_[1];
            case Level::warning: return methods_[2];
            default: return methods_[3];
        }
    }

    nb::object logger_;
    Name is_enabled_for_;
    Name methods_[4];
    PyObject* exc_info_kw_ = nullptr;
};

}  // namespace tv
