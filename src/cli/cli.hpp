// velmora-batch: one command line over the headless batch and the render
// farm. Which words are subcommands, and how usage errors, argparse's exits
// and batch endings become exit statuses, is decided here and nowhere else
// (the statuses themselves: headless/ending.hpp).
#pragma once

#include "host/py.hpp"

namespace velmora::cli {

// The command: argv without the program name. Returns the exit status.
int batch_main(const py::Ref& argv);

// velmora-batch inspect (inspect_main.cpp): its words after "inspect".
int inspect_main(const py::Ref& argv);

// batch_main, for the module body to bind.
PyMethodDef* entry_points();

}  // namespace velmora::cli
