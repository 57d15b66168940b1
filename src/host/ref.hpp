// Owning references to Python objects and the exception that means
// "the Python error indicator is set".
#pragma once

#include <Python.h>

#include <exception>
#include <utility>

namespace velmora::py {

// Thrown whenever a Python API call failed and left the error indicator set.
// Whoever catches it either handles the Python error or lets it reach the
// interpreter through an entry point.
struct PyError final : std::exception {
    const char* what() const noexcept override { return "Python error indicator is set"; }
};

// An owning reference. Built only by stealing a new reference or by adding
// one to a borrowed pointer; there is no implicit conversion to PyObject*.
class Ref {
public:
    Ref() noexcept = default;
    static Ref steal(PyObject* p) noexcept { return Ref(p); }
    static Ref borrow(PyObject* p) noexcept {
        Py_XINCREF(p);
        return Ref(p);
    }

    Ref(const Ref& other) noexcept : p_(other.p_) { Py_XINCREF(p_); }
    Ref(Ref&& other) noexcept : p_(std::exchange(other.p_, nullptr)) {}
    Ref& operator=(Ref other) noexcept {
        std::swap(p_, other.p_);
        return *this;
    }
    ~Ref() { Py_XDECREF(p_); }

    PyObject* get() const noexcept { return p_; }
    // Hands the reference over to the caller (the interpreter, at the boundary).
    PyObject* release() noexcept { return std::exchange(p_, nullptr); }
    explicit operator bool() const noexcept { return p_ != nullptr; }

private:
    explicit Ref(PyObject* p) noexcept : p_(p) {}
    PyObject* p_ = nullptr;
};

// Turns a new reference, or NULL with the error set, into a Ref or a throw.
inline Ref check(PyObject* result) {
    if (result == nullptr) throw PyError{};
    return Ref::steal(result);
}

// Same for the C API's int status convention (-1 means the error is set).
inline int check_status(int status) {
    if (status < 0) throw PyError{};
    return status;
}

}  // namespace velmora::py
