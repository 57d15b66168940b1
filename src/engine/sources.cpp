// Which output formats and which source files a batch works on, as the main
// window's check boxes and folder say.
#include "engine/front_end.hpp"

namespace velmora {
namespace {

// A check box of the main window, named by the converter attribute `control`.
bool checked(PyObject* self, const char* control) {
    return py::truthy(host::cmds("checkBox", {attr(self, control)}, {{"q", true}, {"v", true}}));
}

// The entries whose check box is set, in the order the table lists them.
struct Choice {
    const char* control;
    const char* value;
};

Ref chosen(PyObject* self, std::initializer_list<Choice> choices) {
    Ref result = py::list();
    for (const Choice& c : choices) {
        if (checked(self, c.control)) py::append(result, c.value);
    }
    return result;
}

// Only the very end of the name counts, whatever its letter case: a
// "scene.ma.bak" is a backup, not a scene.
bool has_extension(const Ref& name, const Ref& extensions) {
    Ref lower = py::call_method(name, "lower");
    return py::any_of(extensions, [&lower](const Ref& ext) {
        return py::truthy(py::call_method(lower, "endswith", {ext}));
    });
}

// The extensions as one tuple of str when they are a list or tuple of plain
// str: endswith then tries them in order and stops at the first that fits,
// as has_extension does, in one call per name instead of one per extension
// (a listing of 100,000 names spent a third of its own time there). Anything
// else keeps the general road, with its own errors.
std::optional<Ref> suffix_tuple(const Ref& extensions) {
    PyObject* e = extensions.get();
    if (!PyList_CheckExact(e) && !PyTuple_CheckExact(e)) return std::nullopt;
    Ref items = py::check(PySequence_Tuple(e));
    for (Py_ssize_t i = 0, n = py::length(items); i < n; ++i) {
        if (!PyUnicode_CheckExact(PyTuple_GetItem(items.get(), i))) return std::nullopt;
    }
    return items;
}

// A matcher of names for one listing: has_extension, or its one-call form
// for plain str names (bytes names keep the general road and its errors).
struct Matcher {
    const Ref& extensions;
    std::optional<Ref> suffixes;
    bool operator()(const Ref& name) const {
        if (!suffixes || !PyUnicode_CheckExact(name.get())) return has_extension(name, extensions);
        Ref lower = py::call_method(name, "lower");
        return py::truthy(py::call_method(lower, "endswith", {*suffixes}));
    }
};

// Plain code-point order, as the interpreter's sorted() gives it.
Ref sorted(const Ref& names) { return py::call(py::builtin("sorted"), {names}); }

// Every folder below `folder`, top-down; the walk does not follow links, so
// a link loop cannot trap it. It passes over folders it cannot list; each
// is named in a warning, or its scenes would be missing from the batch
// without a word.
void walk_tree(const Ref& folder, const Ref& extensions, const Ref& files,
               const UnreadableFolder& unreadable_folder) {
    const Matcher matches{extensions, suffix_tuple(extensions)};
    Ref unreadable = py::list();
    py::for_each(host::os("walk", {folder, true, py::getattr(unreadable, "append")}),
                 [&](const Ref& entry) {
        Ref root = py::item(entry, 0);
        py::for_each(sorted(py::item(entry, 2)), [&](const Ref& fname) {
            if (matches(fname)) {
                py::append(files, host::os_path("join", {root, fname}));
            }
        });
    });
    py::for_each(unreadable, unreadable_folder);
}

// The folder alone. The name is matched before the file test so that only
// likely scenes cost a stat, and a folder called "old.ma" stays out.
void list_folder(const Ref& folder, const Ref& extensions, const Ref& files) {
    const Matcher matches{extensions, suffix_tuple(extensions)};
    py::for_each(sorted(host::os("listdir", {folder})), [&](const Ref& fname) {
        if (!matches(fname)) return;
        Ref fp = host::os_path("join", {folder, fname});
        if (py::truthy(host::os_path("isfile", {fp}))) py::append(files, fp);
    });
}

}  // namespace

Ref get_source_extensions(PyObject* self) {
    return chosen(self, {{"src_ma", ".ma"}, {"src_mb", ".mb"}, {"src_fbx", ".fbx"}});
}

Ref get_output_formats(PyObject* self) {
    return chosen(self, {{"out_ma", "ma"}, {"out_mb", "mb"}, {"out_fbx", "fbx"}});
}

Ref collect_files(PyObject* self) {
    Ref folder = attr(self, "source_folder");
    if (!py::truthy(folder) || !host::exists(folder)) {
        host::cmds("warning", {"Select valid folder"});
        return py::list();
    }
    Ref extensions = call(self, "get_source_extensions");
    if (!py::truthy(extensions)) {
        host::cmds("warning", {"Select source file type"});
        return py::list();
    }
    bool recursive = checked(self, "recursive_check");
    return list_sources(folder, extensions, recursive, [](const Ref& error) {
        host::cmds("warning", {py::format("Skipped folder: {}", {error})});
    });
}

Ref list_sources(const Ref& folder, const Ref& extensions, bool recursive,
                 const UnreadableFolder& unreadable_folder) {
    Ref files = py::list();
    if (recursive) {
        walk_tree(folder, extensions, files, unreadable_folder);
    } else {
        list_folder(folder, extensions, files);
    }
    return files;
}

}  // namespace velmora
