#include "background/window_entry_points.hpp"

#include "background/batches_window.hpp"
#include "host/entry.hpp"

namespace velmora::background {
namespace {

PyObject* show_batches(PyObject* /*module*/, PyObject* /*unused*/) {
    return entry([] {
        window::show();
        return py::none();
    });
}

PyMethodDef kEntryPoints[] = {
    {"show_batches", show_batches, METH_NOARGS,
     "show_batches()\n--\n\nOpens the window of background batches: a launcher, and a row for each batch\n"
     "of this user (batches()), refreshed twice a second while the window is open."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

PyMethodDef* window_entry_points() { return kEntryPoints; }

}  // namespace velmora::background
