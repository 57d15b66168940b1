// Small callables handed to Maya: button commands and deferred calls whose
// body is C++ code.
#pragma once

#include "host/ref.hpp"

#include <functional>

namespace velmora::host {

// A Python callable that takes exactly `arity` positional arguments (and no
// keywords), ignores their values and runs `body`. Maya calls a button's
// command with one argument and a deferred call with none; any other count
// is a TypeError, as for a Python function of that many parameters.
py::Ref make_callback(std::function<py::Ref()> body, int arity);

}  // namespace velmora::host
