#include "cli/cli.hpp"

#include "host/entry.hpp"
#include "host/stdlib.hpp"

namespace velmora::cli {
namespace {

using py::Ref;

PyObject* batch_main_entry(PyObject* /*module*/, PyObject* argv) {
    return entry([&] {
        return py::integer(batch_main(py::call(py::builtin("list"), {Ref::borrow(argv)})));
    });
}

PyMethodDef kEntryPoints[] = {
    {"batch_main", batch_main_entry, METH_O,
     "batch_main(argv)\n--\n\nThe velmora-batch command (argv without the program name); "
     "returns its exit status."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

PyMethodDef* entry_points() { return kEntryPoints; }

}  // namespace velmora::cli
