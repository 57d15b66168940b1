// Free names for outputs that would otherwise overwrite an existing file.
#include "engine/naming.hpp"

#include <cstdio>

namespace velmora {
namespace {

using host::exists;

// counter <= self.MAX_INCREMENT, read afresh at every test so that a limit
// set on the instance (or changed meanwhile) is the one obeyed.
bool within_limit(PyObject* self, long long counter) {
    Ref limit = attr(self, "MAX_INCREMENT");
    Ref value = py::integer(counter);
    return py::check_status(PyObject_RichCompareBool(value.get(), limit.get(), Py_LE)) != 0;
}

// The name of last resort. The time stamp alone can be taken too (two
// outputs of one second, or a name left by an earlier run), so a further
// counter keeps it from overwriting anything.
Ref timestamped(const Ref& directory, const Ref& name, const Ref& ext,
                const std::function<bool(const Ref&)>& claim) {
    Ref timestamp = py::call(py::builtin("int"), {host::time("time")});
    Ref candidate =
        host::os_path("join", {directory, py::format("{}_{}{}", {name, timestamp, ext})});
    for (long long n = 1; !claim(candidate); ++n) {
        candidate = host::os_path(
            "join", {directory, py::format("{}_{}_{}{}", {name, timestamp, n, ext})});
    }
    return candidate;
}

// "{}_{:03d}{}" filled with name, counter and ext. With name and ext plain
// str (as splitext gives them) "{}" yields each unchanged, so the pieces
// are joined directly: the template parse was a third of the module's own
// time in a search through 999 taken names.
Ref numbered(const Ref& name, long long counter, const Ref& ext) {
    if (!PyUnicode_CheckExact(name.get()) || !PyUnicode_CheckExact(ext.get())) {
        return py::format("{}_{:03d}{}", {name, counter, ext});
    }
    char digits[32];
    std::snprintf(digits, sizeof digits, "_%03lld", counter);
    Ref pieces = py::tuple({name, py::check(PyUnicode_FromString(digits)), ext});
    return py::check(PyUnicode_Join(py::str("").get(), pieces.get()));
}

}  // namespace

NameParts split_name(const Ref& filepath) {
    Ref directory = host::os_path("dirname", {filepath});
    Ref filename = host::os_path("basename", {filepath});
    Ref parts = host::os_path("splitext", {filename});
    return NameParts{directory, py::item(parts, 0), py::item(parts, 1)};
}

Ref first_claimed(const NameParts& parts, const std::function<bool(long long)>& within,
                  const std::function<bool(const Ref&)>& claim) {
    // Lowest free number first, so gaps left by deleted copies are reused.
    for (long long counter = 1; within(counter); ++counter) {
        Ref candidate =
            host::os_path("join", {parts.directory, numbered(parts.name, counter, parts.ext)});
        if (claim(candidate)) return candidate;
    }
    return timestamped(parts.directory, parts.name, parts.ext, claim);
}

Ref get_incremental_filename(PyObject* self, const Ref& filepath) {
    NameParts parts = split_name(filepath);
    if (!exists(filepath)) return filepath;
    return first_claimed(
        parts, [self](long long counter) { return within_limit(self, counter); },
        [](const Ref& candidate) { return !exists(candidate); });
}

}  // namespace velmora
