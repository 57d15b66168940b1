// A Python error held outside the interpreter's error indicator.
#pragma once

#include "host/ref.hpp"

namespace velmora::py {

// The error of a failed step, taken out of the indicator so that other
// Python code can run (a clean-up, a context manager's __exit__) and then
// handed back exactly once, as the error the caller sees. The indicator
// is empty while this holds the error; calling Python with an error set
// would lose it.
//
// Whoever takes an error decides where it goes: restore() or rethrow()
// puts it back (later calls do nothing), value() lets it be read. An error
// never restored is dropped with this object: its destructor only releases
// references and never touches the indicator, so it cannot wipe the error
// that took this one's place.
class PendingError {
public:
    // Takes the error now set (normalised, its traceback on the exception);
    // holds nothing when none is set.
    PendingError() noexcept;
    PendingError(const PendingError&) = delete;
    PendingError& operator=(const PendingError&) = delete;
    PendingError(PendingError&&) noexcept = default;
    PendingError& operator=(PendingError&&) noexcept = default;
    ~PendingError() = default;

    explicit operator bool() const noexcept { return static_cast<bool>(type_); }
    // Whether the error is an instance of `type` (a class or a tuple).
    bool matches(PyObject* type) const noexcept;
    // The exception, its class and its traceback (None when not held).
    Ref value() const noexcept { return or_none(value_); }
    Ref type() const noexcept { return or_none(type_); }
    Ref traceback() const noexcept { return or_none(traceback_); }

    // Back into the indicator. Only the first call restores.
    void restore() noexcept;
    // restore(), then the C++ exception that says so.
    [[noreturn]] void rethrow() noexcept(false);

private:
    static Ref or_none(const Ref& r) noexcept { return Ref::borrow(r ? r.get() : Py_None); }
    Ref type_;
    Ref value_;
    Ref traceback_;
};

}  // namespace velmora::py
