#include "host/error.hpp"

#include <utility>

namespace velmora::py {

PendingError::PendingError() noexcept {
    PyObject* type = nullptr;
    PyObject* value = nullptr;
    PyObject* traceback = nullptr;
    PyErr_Fetch(&type, &value, &traceback);
    if (type == nullptr) return;
    PyErr_NormalizeException(&type, &value, &traceback);
    if (traceback != nullptr && value != nullptr) PyException_SetTraceback(value, traceback);
    type_ = Ref::steal(type);
    value_ = Ref::steal(value);
    traceback_ = Ref::steal(traceback);
}

bool PendingError::matches(PyObject* type) const noexcept {
    return type_ && PyErr_GivenExceptionMatches(type_.get(), type) != 0;
}

void PendingError::restore() noexcept {
    if (!type_) return;  // restored already, or nothing was taken
    PyErr_Restore(type_.release(), value_.release(), traceback_.release());
}

void PendingError::rethrow() noexcept(false) {
    restore();
    throw PyError{};
}

}  // namespace velmora::py
