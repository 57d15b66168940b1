// The module-level functions of the headless batch, for the module body to
// bind: batch, batch_report and the worker's _worker.
#pragma once

#include <Python.h>

namespace velmora::headless {

PyMethodDef* entry_points();

}  // namespace velmora::headless
