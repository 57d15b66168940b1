#include "farm/support.hpp"

#include "headless/progress.hpp"

namespace velmora::farm {

std::string text(const Ref& str) {
    Ref bytes = py::check(PyUnicode_AsEncodedString(str.get(), "utf-8", "surrogateescape"));
    char* data = nullptr;
    Py_ssize_t size = 0;
    py::check_status(PyBytes_AsStringAndSize(bytes.get(), &data, &size));
    return std::string(data, static_cast<std::size_t>(size));
}

Ref join(const Ref& a, const py::Value& b) {
    return py::call(py::getattr(py::getattr(module("os"), "path"), "join"), {a, b});
}

Ref read_text(const Ref& path) {
    Ref result;
    Ref file = py::call(py::builtin("open"), {path}, {{"encoding", "utf-8"}});
    py::with(file, [&](const Ref& f) { result = py::call_method(f, "read"); });
    return result;
}

namespace {

// A name beside `path` that no other writer picks: the process id and a
// random part.
Ref aside_name(const Ref& path) {
    Ref os = module("os");
    Ref token = py::call_method(py::call(py::getattr(os, "urandom"), {6}), "hex");
    return py::format("{}.{}-{}.tmp", {path, py::call(py::getattr(os, "getpid")), token});
}

}  // namespace

void write_text_file(const Ref& path, const Ref& content, bool replace) {
    Ref os = module("os");
    Ref aside = aside_name(path);
    Ref file = py::call(py::builtin("open"), {aside, "w"},
                        {{"encoding", "utf-8"}, {"newline", "\n"}});
    py::finally(
        [&] {
            py::with(file, [&](const Ref& f) {
                py::call_method(f, "write", {content});
                py::call_method(f, "flush");
                py::call(py::getattr(os, "fsync"), {py::call_method(f, "fileno")});
            });
            if (replace) {
                py::call(py::getattr(os, "replace"), {aside, path});
            } else {
                py::call(py::getattr(os, "link"), {aside, path});
            }
        },
        // The aside name never outlives the write, whatever happened.
        [&] {
            py::swallow([&] {
                if (exists(aside)) py::call(py::getattr(os, "unlink"), {aside});
            });
        });
}

Ref to_json(const Ref& value, bool pretty) {
    Ref dumps = py::getattr(module("json"), "dumps");
    if (!pretty) return py::call(dumps, {value});
    return py::call(dumps, {value}, {{"indent", 2}});
}

void say(const Ref& line) { headless::write_console(py::format("{}\n", {line})); }
void warn(const Ref& line) { headless::write_console(py::format("{}\n", {line}), "stderr"); }

Ref get(const Ref& mapping, const char* key) { return py::call_method(mapping, "get", {key}); }

}  // namespace velmora::farm
