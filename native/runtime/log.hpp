// Logging through the standard `logging` module, as a Python module's `logger.info(...)` would.
//
// Messages are built only when the level is enabled. Errors are logged with `exc_info` set to the
// exception instance, so handlers see the same record (and traceback) as after `except ... as e`.
#pragma once

#include <cstdio>
#include <string>

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

// A client-supplied value as it may appear in a log line: its str(), cut to `limit` characters plus
// "…", with every control character escaped as Python's repr() writes it (\n, \r, \t, \xNN, \uNNNN),
// so a value can neither start a forged record nor blow a line up. Line and paragraph separators and the
// bidirectional controls (embeddings, overrides, isolates and the direction marks, which would make a
// line show in another order than it has) count as control characters; lone surrogates pass as they
// are. An ordinary value comes back unchanged.
inline nb::object log_value(nb::handle value, Py_ssize_t limit = 200) {
    nb::object text = PyUnicode_CheckExact(value.ptr()) ? nb::borrow(value) : check(PyObject_Str(value.ptr()));
    PyObject* s = text.ptr();
    const Py_ssize_t length = PyUnicode_GET_LENGTH(s);
    const Py_ssize_t kept = length > limit ? limit : length;
    const int kind = PyUnicode_KIND(s);
    const void* data = PyUnicode_DATA(s);
    auto is_control = [](Py_UCS4 c) {
        return c < 0x20 || (c >= 0x7f && c <= 0x9f) || c == 0x2028 || c == 0x2029 || (c >= 0x202a && c <= 0x202e) ||
               (c >= 0x2066 && c <= 0x2069) || c == 0x200e || c == 0x200f || c == 0x061c;
    };
    bool clean = kept == length;
    for (Py_ssize_t i = 0; clean && i < kept; ++i) clean = !is_control(PyUnicode_READ(kind, data, i));
    if (clean) return text;

    std::string out;
    out.reserve((size_t)kept + 8);
    char escape[12];
    for (Py_ssize_t i = 0; i < kept; ++i) {
        Py_UCS4 c = PyUnicode_READ(kind, data, i);
        if (c == '\n')
            out += "\\n";
        else if (c == '\r')
            out += "\\r";
        else if (c == '\t')
            out += "\\t";
        else if (is_control(c)) {
            std::snprintf(escape, sizeof escape, c < 0x100 ? "\\x%02x" : "\\u%04x", (unsigned)c);
            out += escape;
        } else if (c < 0x80) {
            out += (char)c;
        } else if (c < 0x800) {
            out += (char)(0xc0 | (c >> 6));
            out += (char)(0x80 | (c & 0x3f));
        } else if (c < 0x10000) {
            out += (char)(0xe0 | (c >> 12));
            out += (char)(0x80 | ((c >> 6) & 0x3f));
            out += (char)(0x80 | (c & 0x3f));
        } else {
            out += (char)(0xf0 | (c >> 18));
            out += (char)(0x80 | ((c >> 12) & 0x3f));
            out += (char)(0x80 | ((c >> 6) & 0x3f));
            out += (char)(0x80 | (c & 0x3f));
        }
    }
    if (kept < length) out += "\xE2\x80\xA6";  // …
    return check(PyUnicode_DecodeUTF8(out.data(), (Py_ssize_t)out.size(), "surrogatepass"));
}

}  // namespace tv
