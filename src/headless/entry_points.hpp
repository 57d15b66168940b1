// The module-level functions of the headless batch, for the module body to
// bind: batch and batch_report; apart, the worker's private _worker, which
// the module binds last.
#pragma once

#include <Python.h>

namespace velmora::headless {

PyMethodDef* entry_points();
PyMethodDef* worker_entry_points();

}  // namespace velmora::headless
