// Scaffolding while the engine and the windows are being written: each
// operation that has not landed yet raises NotImplementedError.
#include "core/converter.hpp"

namespace velmora {
namespace {
[[noreturn]] void pending(const char* name) {
    PyErr_SetString(PyExc_NotImplementedError, name);
    throw py::PyError{};
}
}  // namespace
#define PENDING_VOID(name, ...) void name(__VA_ARGS__) { pending(#name); }
#define PENDING_REF(name, ...) Ref name(__VA_ARGS__) { pending(#name); }
PENDING_VOID(create_ui, PyObject*)
PENDING_VOID(browse_folder, PyObject*)
PENDING_VOID(update_status, PyObject*, const Ref&)
PENDING_VOID(update_progress, PyObject*, const Ref&)
PENDING_VOID(show_about, PyObject*)
PENDING_VOID(show_help, PyObject*)
PENDING_VOID(show_statistics, PyObject*)
PENDING_VOID(save_stats, PyObject*, const Ref&)
}  // namespace velmora
