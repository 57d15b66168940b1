// The module body: Maya's command modules and the standard-library modules
// bound to module-level names, PY2, safe_open, the class Velmora and show.
#include "cli/cli.hpp"
#include "core/converter.hpp"
#include "background/entry_points.hpp"
#include "background/window_entry_points.hpp"
#include "doctor/doctor.hpp"
#include "headless/entry_points.hpp"
#include "host/entry.hpp"
#include "module/module.hpp"
#include "scene/inspect.hpp"

namespace velmora {
namespace {

using py::Ref;

constexpr const char kModuleDoc[] =
    "\nVelmora\nConverts Maya scenes between .ma, .mb, .fbx formats\n\n"
    "Compatible with Maya 2019-2026 (Python 2.7 and Python 3.x)\n\n"
    "Features:\n- Guaranteed viewport restoration\n- Incremental filename limit\n"
    "- FPS preservation\n- Diagnostic logging\n";

// safe_open(filepath, mode="r", encoding="utf-8"): a UTF-8 text file under
// Python 2 (io.open) or 3 (the built-in open), path and mode by position,
// encoding by keyword.
PyObject* safe_open(PyObject* /*module*/, PyObject* args, PyObject* kwargs) {
    static char kFilepath[] = "filepath";
    static char kMode[] = "mode";
    static char kEncoding[] = "encoding";
    char* keywords[] = {kFilepath, kMode, kEncoding, nullptr};
    PyObject* filepath = nullptr;
    PyObject* mode = nullptr;
    PyObject* encoding = nullptr;
    // The log opens a file per line with (path, mode) by position: that call
    // needs no parsing; anything else gets the full checks.
    Py_ssize_t given = kwargs == nullptr ? PyTuple_Size(args) : -1;
    if (given == 1 || given == 2) {
        filepath = PyTuple_GetItem(args, 0);
        if (given == 2) mode = PyTuple_GetItem(args, 1);
    } else if (PyArg_ParseTupleAndKeywords(args, kwargs, "O|OO:safe_open", keywords, &filepath,
                                           &mode, &encoding) == 0) {
        return nullptr;
    }
    return entry([&] {
        Ref mode_ = mode ? Ref::borrow(mode) : py::str("r");
        Ref encoding_ = encoding ? Ref::borrow(encoding) : py::str("utf-8");
        Ref opener = py::truthy(host::global("PY2")) ? py::getattr(host::global("io"), "open")
                                                     : py::builtin("open");
        return py::call(opener, {Ref::borrow(filepath), mode_}, {{"encoding", encoding_}});
    });
}

// show(): a new converter and its window. No reference is kept here: the
// window's button commands keep the converter alive.
PyObject* show(PyObject* /*module*/, PyObject* /*unused*/) {
    return entry([] {
        Ref converter = py::call(host::global("Velmora"));
        py::call_method(converter, "create_ui");
        return py::none();
    });
}

PyMethodDef kSafeOpenDef = {
    "safe_open", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(safe_open)),
    METH_VARARGS | METH_KEYWORDS,
    "safe_open(filepath, mode='r', encoding='utf-8')\n--\n\n"
    "Open file with encoding support for Python 2/3"};

PyMethodDef kShowDef = {"show", show, METH_NOARGS, "show()\n--\n\n"};

PyModuleDef kModuleDef = {
    PyModuleDef_HEAD_INIT, "velmora", kModuleDoc, -1, nullptr, nullptr, nullptr, nullptr, nullptr,
};

void bind(PyObject* module, const char* name, const Ref& value) {
    py::setattr(module, name, value);
}

Ref function(PyMethodDef* def, const Ref& module_name) {
    return py::check(PyCFunction_NewEx(def, nullptr, module_name.get()));
}

// The body, in order. Nothing is caught: outside Maya the import of
// maya.cmds fails and so does the import of velmora.
Ref run_body() {
    Ref module = py::check(PyModule_Create(&kModuleDef));
    PyObject* m = module.get();
    host::bind_module(m);
    bind(m, "cmds", py::check(PyImport_ImportModule("maya.cmds")));
    bind(m, "mel", py::check(PyImport_ImportModule("maya.mel")));
    for (const char* name : {"os", "sys", "time", "io"}) {
        bind(m, name, py::check(PyImport_ImportModule(name)));
    }
    bind(m, "partial", py::getattr(py::check(PyImport_ImportModule("functools")), "partial"));
    Ref major = py::item(py::getattr(host::global("sys"), "version_info"), 0);
    bind(m, "PY2", py::boolean(py::as_long(major) == 2));
    Ref module_name = py::str("velmora");
    bind(m, "safe_open", function(&kSafeOpenDef, module_name));
    bind(m, "Velmora", make_velmora_class());
    bind(m, "show", function(&kShowDef, module_name));
    for (PyMethodDef* defs :
         {headless::entry_points(), background::entry_points(), cli::entry_points(), doctor::entry_points(),
          headless::worker_entry_points(), background::window_entry_points(),
          scene::entry_points()}) {
        for (PyMethodDef* def = defs; def->ml_name != nullptr; ++def) {
            bind(m, def->ml_name, function(def, module_name));
        }
    }
    if (py::equals(py::getattr(m, "__name__"), "__main__")) {
        py::call(host::global("show"));
    }
    return module;
}

}  // namespace
}  // namespace velmora

PyMODINIT_FUNC PyInit_velmora(void) {
    return velmora::entry([] { return velmora::run_body(); });
}
