// The one road from the module's code to Maya and to the standard library:
// both are reached through the module-level names bound at import (cmds,
// mel, os, sys, time, io, partial), looked up at the moment of each call.
#pragma once

#include "host/files.hpp"
#include "host/py.hpp"

namespace velmora::host {

using py::Keywords;
using py::Ref;
using py::Values;

// Records the module whose namespace the calls below read. Called once, by
// the module's initialisation.
void bind_module(PyObject* module);

// A module-level name of the velmora module, e.g. global("cmds").
Ref global(const char* name);

// cmds.<command>(*args, **flags), with the flags in the order listed.
Ref cmds(const char* command, Values args = {}, Keywords flags = {});

// mel.eval(text).
Ref mel_eval(const py::Value& text);

// os.path.<function>(*args) and os.<function>(*args).
Ref os_path(const char* function, Values args);
Ref os(const char* function, Values args);

// time.<function>(*args).
Ref time(const char* function, Values args = {});

}  // namespace velmora::host
