// Writing one open scene in every requested output format, next to its
// source.
#include "engine/front_end.hpp"

namespace velmora {
namespace {

Ref concat(const Ref& a, const Ref& b) { return py::check(PyNumber_Add(a.get(), b.get())); }

Ref replace(const Ref& text, const char* old, const char* replacement) {
    return py::call_method(text, "replace", {old, replacement});
}

using host::exists;

// Whether the path module in use treats a backslash as a separator.
bool backslash_separates() {
    Ref path_module = py::getattr(host::global("os"), "path");
    return py::equals(py::getattr(path_module, "sep"), "\\") ||
           py::equals(py::getattr(path_module, "altsep"), "\\");
}

// The text between the double quotes of a MEL string literal that denotes
// exactly `path`. A file name is user data: a quote or a line break in it
// must not end the literal, or a crafted name would run MEL of its own. On
// Windows a backslash is a separator and MEL prefers forward slashes;
// elsewhere it is an ordinary character of the name and is escaped.
Ref mel_string_body(const Ref& path) {
    Ref body = backslash_separates() ? replace(path, "\\", "/") : replace(path, "\\", "\\\\");
    body = replace(body, "\"", "\\\"");
    body = replace(body, "\n", "\\n");
    body = replace(body, "\r", "\\r");
    return replace(body, "\t", "\\t");
}

// The whole scene, not the selection: nothing is selected after opening.
void export_fbx(const Ref& output_file, FrontEnd& front) {
    front.setup_fbx_export();
    front.log("  [DEBUG] FBX export starting...");
    host::mel_eval(py::format("FBXExport -f \"{}\"", {mel_string_body(output_file)}));
    front.log("  [DEBUG] FBX export complete");
}

void save_scene(const Ref& output_format, const Ref& output_file, FrontEnd& front) {
    front.log("  [DEBUG] Renaming file...");
    host::cmds("file", {}, {{"rename", output_file}});
    front.log(py::format("  [DEBUG] Saving as {}...", {output_format}));
    const char* type = py::equals(output_format, "ma") ? "mayaAscii" : "mayaBinary";
    host::cmds("file", {}, {{"save", true}, {"type", type}});
    front.log("  [DEBUG] Save complete");
}

// One output format. Returns the format result, or nothing when the format
// was skipped.
std::optional<Ref> convert_one(const Ref& output_format, const Ref& base_path, const Ref& source_ext,
                               bool skip_existing, FrontEnd& front) {
    front.log(py::format("  [DEBUG] Processing format: {}", {output_format}));
    Ref dotted = concat(py::str("."), output_format);
    if (py::check_status(PyObject_RichCompareBool(source_ext.get(), dotted.get(), Py_EQ)) != 0) {
        front.log("  [DEBUG] Skipping same format");
        return std::nullopt;
    }
    Ref output_file = concat(base_path, dotted);
    front.log(py::format("  [DEBUG] Output file: {}", {output_file}));

    if (skip_existing && exists(output_file)) {
        front.log(py::format("  Skipped (exists): {}", {host::os_path("basename", {output_file})}));
        front.skipped(output_file);
        return std::nullopt;
    }
    output_file = front.write_path(output_file);

    Ref label = py::call_method(output_format, "upper");
    std::optional<Ref> error = py::guard([&] {
        front.log("  [DEBUG] Saving file...");
        if (py::equals(output_format, "fbx")) {
            export_fbx(output_file, front);
        } else {
            save_scene(output_format, output_file, front);
        }
        front.log(py::format("  Saved {}: {}", {label, host::os_path("basename", {output_file})}));
    });
    if (!error) error = front.check_output(output_format, output_file);
    if (error) {
        front.log(py::format("  ERROR {}: {}", {label, *error}));
        return py::tuple({output_format, false, *error});
    }
    return py::tuple({output_format, true, output_file});
}

}  // namespace

bool WindowFrontEnd::skip_existing() {
    return py::truthy(host::cmds("checkBox", {attr(self_, "skip_existing_check")},
                                 {{"q", true}, {"v", true}}));
}

void WindowFrontEnd::setup_fbx_export() { call(self_, "setup_fbx_export"); }

void WindowFrontEnd::suspend_viewport() { call(self_, "disable_viewport"); }

void WindowFrontEnd::log(const Ref& line) { log_msg(self_, line); }

void WindowFrontEnd::skipped(const Ref& output_file) { py::append(attr(self_, "skipped_files"), output_file); }

// The existing name is left alone: the output goes to the lowest free
// numbered name instead.
Ref WindowFrontEnd::write_path(const Ref& output_file) {
    if (!exists(output_file)) return output_file;
    log_msg(self_, "  [DEBUG] Getting incremental filename...");
    Ref free_name = call(self_, "get_incremental_filename", {output_file});
    log_msg(self_, py::format("  [DEBUG] Incremental: {}", {free_name}));
    return free_name;
}

Ref convert_file(PyObject* self, const Ref& source_file, const Ref& output_formats,
                 const Ref& source_fps) {
    WindowFrontEnd front(self);
    return convert_scene(source_file, output_formats, source_fps, front);
}

Ref convert_scene(const Ref& source_file, const Ref& output_formats, const Ref& source_fps,
                  FrontEnd& front) {
    front.log("  [DEBUG] convert_file START");
    if (py::truthy(source_fps)) {
        host::cmds("currentUnit", {}, {{"time", source_fps}});
        front.log(py::format("  [DEBUG] Applied FPS: {}", {source_fps}));
    }
    bool skip_existing = front.skip_existing();

    Ref parts = host::os_path("splitext", {source_file});
    Ref base_path = front.output_base(py::item(parts, 0));
    Ref source_ext = py::call_method(py::item(parts, 1), "lower");

    Ref results = py::list();
    py::for_each(output_formats, [&](const Ref& output_format) {
        std::optional<Ref> result = convert_one(output_format, base_path, source_ext, skip_existing, front);
        if (result) py::append(results, *result);
    });
    front.log("  [DEBUG] convert_file END");
    return results;
}

}  // namespace velmora
