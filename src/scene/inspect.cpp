#include "scene/inspect.hpp"

#include <cerrno>
#include <cstring>
#include <system_error>

#include "host/entry.hpp"
#include "host/host.hpp"
#include "host/stdlib.hpp"
#include "scene/scene_file.hpp"
#include "scene/script_concerns.hpp"
#include "scene/text.hpp"
#include "scene/verification.hpp"

namespace velmora::scene {
namespace {

using py::Ref;

// Text read from a file as a str: bytes that are not UTF-8 come through as
// surrogate escapes (as os.fsdecode gives them), so a path read from the
// file names the same file on disk.
Ref text(const std::string& bytes) { return py::text_of_bytes(bytes); }

Ref text_or_none(const std::string& bytes) { return bytes.empty() ? py::none() : text(bytes); }

// Whether a path the scene names is there as Maya would look for it: as
// written, then relative to the scene's folder.
bool exists(const std::string& written, const Ref& folder) {
    std::string path = without_copy_number(written);
    if (path.empty()) return false;
    Ref as_written = text(path);
    return host::exists(as_written) || host::exists(host::os_path("join", {folder, as_written}));
}

Ref reference_dict(const Reference& r, const Ref& folder) {
    return py::dict({{"path", text(r.path)},
                     {"namespace", text_or_none(r.name_space)},
                     {"node", text_or_none(r.node)},
                     {"loaded", r.loaded},
                     {"exists", exists(r.path, folder)}});
}

Ref texts(const std::vector<std::string>& lines) {
    Ref list = py::list();
    for (const std::string& line : lines) py::append(list, text(line));
    return list;
}

Ref script_dict(const ScriptNode& s) {
    return py::dict({{"name", text(s.name)},
                     {"runs", py::text(script_runs(s.type))},
                     {"language", s.python ? "python" : "mel"},
                     {"bytes", static_cast<long long>(s.bytes)},
                     {"sha256", text_or_none(s.sha256)},
                     {"concerns", texts(script_concerns(s))}});
}

Ref node_types(const std::vector<Node>& nodes) {
    Ref counts = py::dict();
    for (const Node& node : nodes) {
        Ref type = text(node.type);
        PyObject* old = PyDict_GetItem(counts.get(), type.get());  // borrowed
        long long count = old == nullptr ? 0 : py::as_long(Ref::borrow(old));
        py::check_status(PyDict_SetItem(counts.get(), type.get(), py::integer(count + 1).get()));
    }
    return counts;
}

Ref pairs_dict(const std::vector<std::pair<std::string, std::string>>& pairs) {
    Ref d = py::dict();
    for (const auto& [key, value] : pairs) {
        py::check_status(PyDict_SetItem(d.get(), text(key).get(), text(value).get()));
    }
    return d;
}

Ref facts_dict(const SceneFacts& f, const Ref& path, const Ref& folder) {
    Ref requires = py::list();
    for (const auto& [plugin, version] : f.requires_plugins) py::append(requires, py::list({text(plugin), text(version)}));
    Ref references = py::list();
    for (const Reference& r : f.references) py::append(references, reference_dict(r, folder));
    Ref scripts = py::list();
    for (const ScriptNode& s : f.script_nodes) py::append(scripts, script_dict(s));
    Ref files = py::list();
    for (const ExternalFile& e : f.external_files) {
        py::append(files, py::dict({{"node", text(e.node)},
                                    {"attribute", text(e.attribute)},
                                    {"path", text(e.path)},
                                    {"exists", exists(e.path, folder)}}));
    }
    Ref problems = py::list();
    for (const std::string& p : f.problems) py::append(problems, text(p));
    Ref other = py::list();
    for (const std::string& s : f.other_statements) py::append(other, text(s));
    Ref playback = f.playback ? py::dict({{"min", f.playback->min},
                                          {"max", f.playback->max},
                                          {"ast", f.playback->ast},
                                          {"aet", f.playback->aet}})
                              : py::none();
    return py::dict({{"path", path},
                     {"format", format_name(f.format)},
                     {"maya_version", text(f.version)},
                     {"units", py::dict({{"linear", text_or_none(f.units.linear)},
                                         {"angle", text_or_none(f.units.angle)},
                                         {"time", text_or_none(f.units.time)}})},
                     {"requires", requires},
                     {"references", references},
                     {"nodes", static_cast<long long>(f.nodes.size())},
                     {"node_types", node_types(f.nodes)},
                     {"script_nodes", scripts},
                     {"playback", playback},
                     {"file_info", pairs_dict(f.file_info)},
                     {"external_files", files},
                     {"other_statements", other},
                     {"problems", problems}});
}

[[noreturn]] void raise_os_error(const std::system_error& e, const Ref& path) {
    int code = e.code().value();
    // OSError(errno, text, filename) becomes its subclass (FileNotFoundError, ...).
    Ref error = py::call(Ref::borrow(PyExc_OSError), {code, std::strerror(code), path});
    Ref type = py::check(PyObject_Type(error.get()));
    PyErr_SetObject(type.get(), error.get());
    throw py::PyError{};
}

// The file read with the interpreter free for other threads: a big scene
// takes a while and touches no Python object.
template <class Name>
SceneFacts read_released(const Name& name) {
    PyThreadState* state = PyEval_SaveThread();
    try {
        SceneFacts facts = read_scene_file(name);
        PyEval_RestoreThread(state);
        return facts;
    } catch (...) {
        PyEval_RestoreThread(state);
        throw;
    }
}

SceneFacts read_named(const Ref& path) {
#if defined(_WIN32)
    Py_ssize_t size = 0;
    wchar_t* wide = PyUnicode_AsWideCharString(path.get(), &size);
    if (wide == nullptr) throw py::PyError{};
    std::wstring name(wide, static_cast<std::size_t>(size));
    PyMem_Free(wide);
#else
    Ref encoded = py::call(host::attribute("os", "fsencode"), {path});
    char* bytes = nullptr;
    Py_ssize_t size = 0;
    py::check_status(PyBytes_AsStringAndSize(encoded.get(), &bytes, &size));
    std::string name(bytes, static_cast<std::size_t>(size));
#endif
    if (name.find(decltype(name)::value_type{0}) != decltype(name)::npos) {
        PyErr_SetString(PyExc_ValueError, "embedded null byte");
        throw py::PyError{};
    }
    return read_released(name);
}

// The facts of the file at a path-like object, as OSError and ValueError
// where it cannot be read or is no scene.
SceneFacts read_path(const Ref& path) {
    try {
        return read_named(path);
    } catch (const std::system_error& e) {
        raise_os_error(e, path);
    } catch (const NotAScene& e) {
        PyErr_SetString(PyExc_ValueError, e.what());
        throw py::PyError{};
    }
}

// inspect(path)
PyObject* inspect(PyObject* /*module*/, PyObject* arg) {
    return entry([&] { return inspect_file(Ref::borrow(arg)); });
}

// The expected FBX file version: an exporter's choice ("FBX201800") by the
// table, a file version ("7500") as given.
std::optional<std::string> expected_fbx_version(const Ref& given) {
    if (given.get() == Py_None) return std::nullopt;
    if (PyUnicode_Check(given.get()) == 0) {
        PyErr_SetString(PyExc_TypeError, "fbx_version must be a str or None");
        throw py::PyError{};
    }
    Ref encoded = py::check(PyUnicode_AsUTF8String(given.get()));
    char* bytes = nullptr;
    Py_ssize_t size = 0;
    py::check_status(PyBytes_AsStringAndSize(encoded.get(), &bytes, &size));
    std::string version(bytes, static_cast<std::size_t>(size));
    bool digits = !version.empty() && version.find_first_not_of("0123456789") == std::string::npos;
    return digits ? std::optional<std::string>(version) : fbx_file_version(version);
}

Ref verdict_dict(const Verdict& v) {
    return py::dict({{"differences", texts(v.differences)},
                     {"notes", texts(v.notes)},
                     {"not_checked", texts(v.not_checked)},
                     {"reason", text(v.reason())}});
}

// _verify(source_path, output_path, fbx_version=None)
PyObject* verify(PyObject* /*module*/, PyObject* args, PyObject* kwargs) {
    static char k0[] = "source_path", k1[] = "output_path", k2[] = "fbx_version";
    char* keywords[] = {k0, k1, k2, nullptr};
    PyObject* source_arg = nullptr;
    PyObject* output_arg = nullptr;
    PyObject* version_arg = Py_None;
    if (PyArg_ParseTupleAndKeywords(args, kwargs, "OO|O:_verify", keywords, &source_arg, &output_arg, &version_arg) ==
        0) {
        return nullptr;
    }
    return entry([&] {
        std::optional<std::string> expected = expected_fbx_version(Ref::borrow(version_arg));
        Ref output_path = py::call(host::attribute("os", "fsdecode"), {Ref::borrow(output_arg)});
        SceneFacts output = read_path(output_path);
        if (output.format == Format::Fbx) return verdict_dict(verify_fbx(output, expected));
        Ref source_path = py::call(host::attribute("os", "fsdecode"), {Ref::borrow(source_arg)});
        SceneFacts source = read_path(source_path);
        return verdict_dict(verify_output(source, output));
    });
}

PyMethodDef kEntryPoints[] = {
    {"inspect", inspect, METH_O,
     "inspect(path)\n--\n\n"
     "What a scene file holds, read without Maya and without running any of it: its format,\n"
     "Maya version, units, required plug-ins, references, nodes, script nodes (with what each\n"
     "does beyond Maya's configuration nodes: its concerns), playback range,\n"
     "fileInfo and the files it names, with the problems met on the way. OSError when the\n"
     "file cannot be read; ValueError when it is no Maya or FBX scene."},
    {"_verify", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(verify)), METH_VARARGS | METH_KEYWORDS,
     "_verify(source_path, output_path, fbx_version=None)\n--\n\n"
     "Whether the Maya or FBX file at output_path holds what the scene at source_path held, from\n"
     "the two files' facts: {differences, notes, not_checked, reason}. fbx_version is the\n"
     "exporter's choice (\"FBX201800\") or a file version (\"7500\"). A hook for tests: batches\n"
     "verify in C++."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

SceneFacts read_facts(const Ref& path) { return read_path(path); }

Ref inspect_file(const Ref& given) {
    Ref path = py::call(host::attribute("os", "fsdecode"), {given});
    SceneFacts facts = read_facts(path);
    Ref folder = host::os_path("dirname", {host::os_path("abspath", {path})});
    return facts_dict(facts, path, folder);
}

PyMethodDef* entry_points() { return kEntryPoints; }

}  // namespace velmora::scene
