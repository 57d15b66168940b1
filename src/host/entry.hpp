// Entry points: the only functions the interpreter calls. They catch every
// C++ exception and turn it into NULL with the Python error set.
#pragma once

#include "host/ref.hpp"

#include <new>
#include <stdexcept>

namespace velmora {

template <class Body>
PyObject* entry(Body&& body) noexcept {
    try {
        return body().release();
    } catch (const py::PyError&) {
        // PyError promises a set indicator; should a step have broken that
        // promise, the caller still gets an error that says so, not NULL
        // without one.
        if (PyErr_Occurred() == nullptr) {
            PyErr_SetString(PyExc_SystemError, "velmora: a Python error was lost on its way up");
        }
        return nullptr;
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    } catch (const std::exception& e) {
        PyErr_SetString(PyExc_SystemError, e.what());
        return nullptr;
    }
}

}  // namespace velmora
