// The module-level functions of background batches, for the module body to
// bind: start_batch, batches, stop_batch, resume_batch, forget_batch and the
// launched controller's _background.
#pragma once

#include <Python.h>

namespace velmora::background {

PyMethodDef* entry_points();

}  // namespace velmora::background
