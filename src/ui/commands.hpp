// The windows are built from long, fixed runs of Maya UI commands. They are
// written down as tables of commands so that each window's code reads like
// the list of commands it sends, and executed here in order.
#pragma once

#include "host/py.hpp"

#include <vector>

namespace velmora::ui {

using py::Ref;

// One Maya UI command: cmds.<command>(*args, **flags), flags in the listed
// order. When `store` names an attribute, the command's result (the new
// control's name) is kept on the converter under that name.
struct Command {
    const char* command;
    std::vector<py::Value> args;
    std::vector<py::Keyword> flags;
    const char* store = nullptr;
};

Ref run(const Command& command);

// Runs the commands in order; the first failure stops the run and goes up,
// leaving the results of the commands already run in place.
void run_all(PyObject* self, const std::vector<Command>& commands);

// Every window has a fixed UI name: an existing window of that name is
// deleted before the new one is built, so at most one of each is shown.
void delete_existing_window(const Ref& name);

}  // namespace velmora::ui
