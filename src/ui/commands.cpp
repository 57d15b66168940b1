#include "ui/commands.hpp"

#include "host/host.hpp"

namespace velmora::ui {

Ref run(const Command& command) {
    Ref function = py::getattr(host::global("cmds"), command.command);
    Ref args = py::check(PyTuple_New(static_cast<Py_ssize_t>(command.args.size())));
    Py_ssize_t i = 0;
    for (const py::Value& arg : command.args) {
        // PyTuple_SetItem steals the reference it is given.
        py::check_status(PyTuple_SetItem(args.get(), i++, Ref(arg.ref()).release()));
    }
    // Dicts keep insertion order: Maya sees the flags as listed.
    Ref flags = py::check(PyDict_New());
    for (const py::Keyword& flag : command.flags) {
        py::check_status(PyDict_SetItemString(flags.get(), flag.name, flag.value.ref().get()));
    }
    return py::check(PyObject_Call(function.get(), args.get(), flags.get()));
}

void run_all(PyObject* self, const std::vector<Command>& commands) {
    for (const Command& command : commands) {
        Ref result = run(command);
        if (command.store != nullptr) py::setattr(self, command.store, result);
    }
}

void delete_existing_window(const Ref& name) {
    if (py::truthy(host::cmds("window", {name}, {{"exists", true}}))) {
        host::cmds("deleteUI", {name});
    }
}

}  // namespace velmora::ui
