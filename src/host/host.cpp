#include "host/host.hpp"

namespace velmora::host {
namespace {

// The module lives as long as the process (it is never unloaded), so the
// reference is held without ever being released: releasing it after the
// interpreter has finalised would be an error.
PyObject* g_module = nullptr;

}  // namespace

void bind_module(PyObject* module) {
    Py_XINCREF(module);
    Py_XDECREF(g_module);
    g_module = module;
}

Ref global(const char* name) { return py::getattr(g_module, name); }

Ref cmds(const char* command, Values args, Keywords flags) {
    return py::call(py::getattr(global("cmds"), command), args, flags);
}

Ref mel_eval(const py::Value& text) {
    return py::call(py::getattr(global("mel"), "eval"), {text});
}

Ref os_path(const char* function, Values args) {
    return py::call(py::getattr(py::getattr(global("os"), "path"), function), args);
}

Ref os(const char* function, Values args) {
    return py::call(py::getattr(global("os"), function), args);
}

Ref time(const char* function, Values args) {
    return py::call(py::getattr(global("time"), function), args);
}

}  // namespace velmora::host
