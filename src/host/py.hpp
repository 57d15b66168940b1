// Small, exception-based helpers over the limited C API. Every conversion
// between Python objects and C++ values of the module happens here, so the
// rest of the code handles text only as Python str objects (paths with
// surrogate-escaped bytes pass through untouched).
#pragma once

#include "host/error.hpp"
#include "host/ref.hpp"

#include <initializer_list>
#include <optional>

namespace velmora::py {

// A value handed to Python: built implicitly from the C++ literals that the
// call sites use, or from an existing reference.
class Value {
public:
    Value(bool b);                 // NOLINT(google-explicit-constructor)
    Value(int i);                  // NOLINT(google-explicit-constructor)
    Value(long long i);            // NOLINT(google-explicit-constructor)
    Value(double d);               // NOLINT(google-explicit-constructor)
    Value(const char* utf8);       // NOLINT(google-explicit-constructor)
    Value(Ref ref) noexcept;       // NOLINT(google-explicit-constructor)
    Value(const Value&) = default;
    Value(Value&&) noexcept = default;
    Value& operator=(const Value&) = default;
    Value& operator=(Value&&) noexcept = default;
    ~Value() = default;

    const Ref& ref() const noexcept { return ref_; }

private:
    Ref ref_;
};

using Values = std::initializer_list<Value>;

Ref none();
Ref str(const char* utf8);
Ref integer(long long i);
Ref boolean(bool b);
Ref tuple(Values items);
Ref list(Values items = {});

// Attribute and item access.
Ref getattr(const Ref& obj, const char* name);
Ref getattr(PyObject* obj, const char* name);
void setattr(PyObject* obj, const char* name, const Value& value);

// Calls. Keyword arguments keep the order in which they are listed.
struct Keyword {
    const char* name;
    Value value;
};
using Keywords = std::initializer_list<Keyword>;

Ref call(const Ref& callable, Values args = {}, Keywords kwargs = {});
Ref call_method(PyObject* obj, const char* name, Values args = {});
Ref call_method(const Ref& obj, const char* name, Values args = {});

// Truth value, equality and conversions for the few decisions made in C++.
bool truthy(const Ref& obj);
bool equals(const Ref& a, const char* utf8);
long long as_long(const Ref& obj);
Py_ssize_t length(const Ref& obj);
Ref item(const Ref& sequence, Py_ssize_t index);
void append(const Ref& list, const Value& value);
// Iterates any iterable; the body gets each item.
template <class Body>
void for_each(const Ref& iterable, Body&& body);
// True at the first item for which pred is true; later items are not read.
template <class Pred>
bool any_of(const Ref& iterable, Pred&& pred);

// str.format of a template with positional arguments: placeholders are
// filled exactly as Python fills them and the arguments are never
// interpreted as templates themselves.
Ref format(const char* templ, Values args);

// The interpreter's builtins (open, print, ...).
Ref builtin(const char* name);

// Runs a step under a guard that catches errors of the class Exception and
// its subclasses. Returns the error's string form when one was caught;
// anything else (KeyboardInterrupt, SystemExit, ...) keeps going up.
template <class Step>
std::optional<Ref> guard(Step&& step);

// Runs a step and drops any Python error it raises, whatever its class.
template <class Step>
void swallow(Step&& step);

// Runs a step; whatever happens, runs `always` afterwards (like try/finally).
// An error of the step is held while `always` runs and then re-raised; an
// error raised by `always` replaces it.
template <class Step, class Always>
void finally(Step&& step, Always&& always);

// The with statement: enters the context manager, runs the body with the
// entered value, and exits it with the error (if any) the body raised.
template <class Body>
void with(const Ref& manager, Body&& body);

// --- implementation details of the templates ------------------------------

Ref take_error();       // the current exception (normalised); clears the indicator
Ref take_error_text();  // str() of the current exception; clears the indicator
// manager.__exit__(type, value, traceback) of a held error.
Ref exit_context(const Ref& exit, const PendingError& error);

template <class Body>
void for_each(const Ref& iterable, Body&& body) {
    Ref it = check(PyObject_GetIter(iterable.get()));
    while (PyObject* raw = PyIter_Next(it.get())) {
        body(Ref::steal(raw));
    }
    if (PyErr_Occurred() != nullptr) throw PyError{};
}

template <class Pred>
bool any_of(const Ref& iterable, Pred&& pred) {
    Ref it = check(PyObject_GetIter(iterable.get()));
    while (PyObject* raw = PyIter_Next(it.get())) {
        if (pred(Ref::steal(raw))) return true;
    }
    if (PyErr_Occurred() != nullptr) throw PyError{};
    return false;
}

template <class Step>
std::optional<Ref> guard(Step&& step) {
    try {
        step();
        return std::nullopt;
    } catch (const PyError&) {
        if (PyErr_ExceptionMatches(PyExc_Exception) == 0) throw;
        return take_error_text();
    }
}

template <class Step>
void swallow(Step&& step) {
    try {
        step();
    } catch (const PyError&) {
        PyErr_Clear();
    }
}

template <class Step, class Always>
void finally(Step&& step, Always&& always) {
    try {
        step();
    } catch (const PyError&) {
        PendingError pending;
        always();
        pending.rethrow();
    }
    always();
}

template <class Body>
void with(const Ref& manager, Body&& body) {
    Ref exit = getattr(manager, "__exit__");
    Ref entered = call_method(manager, "__enter__");
    try {
        body(entered);
    } catch (const PyError&) {
        PendingError pending;
        if (truthy(exit_context(exit, pending))) return;  // suppressed
        pending.rethrow();
    }
    call(exit, {none(), none(), none()});
}

}  // namespace velmora::py
