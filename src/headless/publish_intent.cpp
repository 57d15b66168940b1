#include "headless/publish_intent.hpp"

#include "headless/temporary_files.hpp"
#include "host/host.hpp"

namespace velmora::headless {
namespace {

Ref identity_of(const Ref& stat) {
    return py::list({py::getattr(stat, "st_dev"), py::getattr(stat, "st_ino"), py::getattr(stat, "st_size"),
                     py::getattr(stat, "st_mtime_ns")});
}

bool same(const Ref& a, const Ref& b) {
    return py::check_status(PyObject_RichCompareBool(a.get(), b.get(), Py_EQ)) != 0;
}

bool has_affixes(const Ref& name, const Ref& stem, const Ref& ext) {
    return py::truthy(py::call_method(name, "startswith", {stem})) &&
           py::truthy(py::call_method(name, "endswith", {ext})) &&
           py::length(name) >= py::length(stem) + py::length(ext);
}

// The identity of a name in a folder; nothing when it is gone or not a
// plain file.
std::optional<Ref> identity_at(const Ref& path) {
    std::optional<Ref> found;
    py::guard([&] {
        Ref stat = host::os("lstat", {path});
        if (py::truthy(py::call(host::attribute("stat", "S_ISREG"), {py::getattr(stat, "st_mode")}))) {
            found = identity_of(stat);
        }
    });
    return found;
}

}  // namespace

std::optional<Ref> file_identity(const Ref& path) {
    std::optional<Ref> found;
    py::guard([&] { found = identity_of(host::os("stat", {path})); });
    return found;
}

std::optional<Ref> find_published(const Ref& output_file, const Ref& identity) {
    std::optional<Ref> at_name = identity_at(output_file);
    if (at_name && same(*at_name, identity)) return output_file;
    Ref folder = host::os_path("dirname", {output_file});
    Ref parts = host::os_path("splitext", {host::os_path("basename", {output_file})});
    Ref stem = py::item(parts, 0);
    Ref ext = py::item(parts, 1);
    Ref names;
    if (py::guard([&] { names = host::os("listdir", {py::truthy(folder) ? folder : py::str(".")}); })) {
        return std::nullopt;
    }
    std::optional<Ref> found;
    py::any_of(names, [&](const Ref& name) {
        if (is_temp_name(name) || !has_affixes(name, stem, ext)) return false;
        Ref candidate = host::os_path("join", {folder, name});
        std::optional<Ref> there = identity_at(candidate);
        if (!there || !same(*there, identity)) return false;
        found = candidate;
        return true;
    });
    return found;
}

void recover_published(Ledger& ledger) {
    py::for_each(py::call_method(ledger.intents(), "items"), [&](const Ref& entry) {
        long long index = py::as_long(py::item(entry, 0));
        if (index < 0 || index >= ledger.total() || ledger.finished(index)) return;
        Ref base = ledger.output_base(index);
        py::for_each(py::item(entry, 1), [&](const Ref& intent) {
            Ref files = py::call_method(intent, "get", {"files"});
            if (!PyDict_Check(files.get())) return;
            py::for_each(py::call_method(files, "items"), [&](const Ref& file) {
                Ref output = py::format("{}.{}", {base, py::item(file, 0)});
                std::string format = format_of(output);
                if (ledger.has(index, format)) return;
                if (std::optional<Ref> name = find_published(output, py::item(file, 1))) {
                    ledger.carry(index, *name, format);
                }
            });
        });
    });
}

}  // namespace velmora::headless
