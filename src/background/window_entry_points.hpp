// The module-level function of the batches window, for the module body to
// bind: show_batches.
#pragma once

#include <Python.h>

namespace velmora::background {

PyMethodDef* window_entry_points();

}  // namespace velmora::background
