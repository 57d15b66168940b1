#include "headless/temporary_files.hpp"

#include "host/files.hpp"
#include "host/host.hpp"
#include "host/stdlib.hpp"

namespace velmora::headless {
namespace {

constexpr const char kPrefix[] = ".velmora-";
constexpr const char kClaimSuffix[] = ".claim";

bool starts_with(const Ref& text, const Ref& prefix) {
    return py::truthy(py::call_method(text, "startswith", {prefix}));
}

}  // namespace

Ref temp_tag(const Ref& batch_id, long long index) {
    return py::format("{}.{}", {batch_id, py::integer(index)});
}

Ref temp_path(const Ref& output_file, const Ref& tag) {
    Ref folder = host::os_path("dirname", {output_file});
    Ref ext = py::item(host::os_path("splitext", {output_file}), 1);
    return host::os_path("join", {folder, py::format("{}{}{}", {kPrefix, tag, ext})});
}

bool is_temp_name(const Ref& file_name) { return starts_with(file_name, py::str(kPrefix)); }

Ref claim_marker(const Ref& temp) { return py::format("{}{}", {temp, kClaimSuffix}); }

bool is_claim_marker(const Ref& path) {
    Ref name = host::os_path("basename", {path});
    return is_temp_name(name) && py::truthy(py::call_method(name, "endswith", {kClaimSuffix}));
}

void note_claim(const Ref& marker, const Ref& claim, const Ref& identity) {
    host::write_json_file(marker, py::dict({{"claim", host::os_path("basename", {claim})}, {"identity", identity}}));
}

namespace {

Ref lstat_or_none(const Ref& path) {
    Ref st = py::none();
    py::guard([&] { st = host::os("lstat", {path}); });
    return st;
}

bool is_empty_file(const Ref& st) {
    if (st.get() == Py_None || py::as_long(py::getattr(st, "st_size")) != 0) return false;
    return py::truthy(py::call(host::attribute("stat", "S_ISREG"), {py::getattr(st, "st_mode")}));
}

bool same_number(const Ref& st, const char* field, const Ref& value) {
    return py::check_status(PyObject_RichCompareBool(py::getattr(st, field).get(), value.get(), Py_EQ)) == 1;
}

// Whether the file seen as `st` is the claim `marker` records under the
// base name `name`. A marker without an identity was written just before
// its claim: an empty file under that name made after it is taken for
// its claim.
bool marks(const Ref& marker, const Ref& name, const Ref& st) {
    if (!is_empty_file(st)) return false;
    Ref record = host::read_json_file(marker);
    if (record.get() == Py_None) return false;
    std::optional<Ref> claim = py::find_item(record, "claim");
    if (!claim || py::check_status(PyObject_RichCompareBool(claim->get(), name.get(), Py_EQ)) != 1) return false;
    std::optional<Ref> identity = py::find_item(record, "identity");
    if (identity && PyList_Check(identity->get()) && py::length(*identity) == 2) {
        return same_number(st, "st_dev", py::item(*identity, 0)) && same_number(st, "st_ino", py::item(*identity, 1));
    }
    Ref marked = lstat_or_none(marker);
    if (marked.get() == Py_None) return false;
    return py::as_long(py::getattr(st, "st_mtime_ns")) >= py::as_long(py::getattr(marked, "st_mtime_ns"));
}

}  // namespace

std::optional<Ref> drop_claim(const Ref& marker) {
    Ref record = host::read_json_file(marker);
    if (record.get() == Py_None) return std::nullopt;
    std::optional<Ref> name = py::find_item(record, "claim");
    if (!name || !PyUnicode_Check(name->get())) return std::nullopt;
    Ref claim = host::os_path("join", {host::os_path("dirname", {marker}), *name});
    if (!marks(marker, *name, lstat_or_none(claim))) return std::nullopt;
    host::remove_if_there(claim);
    return claim;
}

bool is_claimed(const Ref& path) {
    Ref st = lstat_or_none(path);
    if (!is_empty_file(st)) return false;  // only an empty file can be a claim: nothing more is looked for
    Ref folder = host::os_path("dirname", {path});
    if (!py::truthy(folder)) folder = py::str(".");
    Ref name = host::os_path("basename", {path});
    Ref names = py::list();
    py::guard([&] { names = host::os("listdir", {folder}); });
    return py::any_of(names, [&](const Ref& entry) {
        Ref marker = host::os_path("join", {folder, entry});
        return is_claim_marker(marker) && marks(marker, name, st);
    });
}

void discard(const Ref& temp) {
    if (is_claim_marker(temp)) py::swallow([&] { drop_claim(temp); });
    host::remove_if_there(temp);
}

void discard_temps(const Ref& output_base, const Ref& formats, const Ref& tag) {
    py::for_each(formats, [&](const Ref& f) {
        py::swallow([&] { discard(temp_path(py::format("{}.{}", {output_base, f}), tag)); });
    });
}

std::optional<Ref> published_name(const Ref& temp, const Ref& output_file) {
    Ref links = py::getattr(host::os("stat", {temp}), "st_nlink");
    if (py::as_long(links) < 2) return std::nullopt;
    Ref folder = host::os_path("dirname", {output_file});
    Ref stem = py::item(host::os_path("splitext", {host::os_path("basename", {output_file})}), 0);
    std::optional<Ref> found;
    py::any_of(host::os("listdir", {py::truthy(folder) ? folder : py::str(".")}),
               [&](const Ref& name) {
        if (!starts_with(name, stem) || is_temp_name(name)) return false;
        Ref candidate = host::os_path("join", {folder, name});
        if (!py::truthy(host::os_path("samefile", {candidate, temp}))) return false;
        found = candidate;
        return true;
    });
    return found;
}

Ref leftovers(const Ref& folders, const Ref& batch_id) {
    Ref prefix = py::format("{}{}.", {kPrefix, batch_id});
    Ref found = py::list();
    py::for_each(folders, [&](const Ref& folder) {
        Ref names;
        if (py::guard([&] { names = host::os("listdir", {folder}); })) return;  // folder gone
        py::for_each(names, [&](const Ref& name) {
            if (!starts_with(name, prefix)) return;
            // ".velmora-<batch>.<index><ext>"
            Ref rest = py::check(PySequence_GetSlice(name.get(), py::length(prefix), PY_SSIZE_T_MAX));
            Ref parts = py::call_method(rest, "split", {".", 1});
            if (py::length(parts) != 2) return;
            Ref digits = py::item(parts, 0);
            if (!py::truthy(py::call_method(digits, "isdigit"))) return;
            Ref ext = py::format(".{}", {py::item(parts, 1)});
            py::append(found, py::tuple({host::os_path("join", {folder, name}),
                                         py::call(py::builtin("int"), {digits}), ext}));
        });
    });
    return found;
}

}  // namespace velmora::headless
