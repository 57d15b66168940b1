#include "headless/temporary_files.hpp"

#include "host/files.hpp"
#include "host/host.hpp"

namespace velmora::headless {
namespace {

constexpr const char kPrefix[] = ".velmora-";

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

void discard(const Ref& temp) { host::remove_if_there(temp); }

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
