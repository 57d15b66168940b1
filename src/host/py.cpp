#include "host/py.hpp"

namespace velmora::py {

Value::Value(bool b) : ref_(boolean(b)) {}
Value::Value(int i) : ref_(integer(i)) {}
Value::Value(long long i) : ref_(integer(i)) {}
Value::Value(double d) : ref_(check(PyFloat_FromDouble(d))) {}
Value::Value(const char* utf8) : ref_(str(utf8)) {}
Value::Value(Ref ref) noexcept : ref_(std::move(ref)) {}

Ref none() { return Ref::borrow(Py_None); }

Ref str(const char* utf8) { return check(PyUnicode_FromString(utf8)); }

Ref integer(long long i) { return check(PyLong_FromLongLong(i)); }

Ref boolean(bool b) { return Ref::borrow(b ? Py_True : Py_False); }

Ref tuple(Values items) {
    Ref result = check(PyTuple_New(static_cast<Py_ssize_t>(items.size())));
    Py_ssize_t i = 0;
    for (const Value& v : items) {
        // PyTuple_SetItem steals the reference it is given.
        check_status(PyTuple_SetItem(result.get(), i++, Ref(v.ref()).release()));
    }
    return result;
}

Ref list(Values items) {
    Ref result = check(PyList_New(0));
    for (const Value& v : items) append(result, v);
    return result;
}

Ref getattr(PyObject* obj, const char* name) { return check(PyObject_GetAttrString(obj, name)); }

Ref getattr(const Ref& obj, const char* name) { return getattr(obj.get(), name); }

void setattr(PyObject* obj, const char* name, const Value& value) {
    check_status(PyObject_SetAttrString(obj, name, value.ref().get()));
}

Ref call(const Ref& callable, Values args, Keywords kwargs) {
    Ref positional = tuple(args);
    Ref keywords;
    if (kwargs.size() != 0) {
        // Dicts keep insertion order, so the callee sees the flags in the
        // order they are listed here.
        keywords = check(PyDict_New());
        for (const Keyword& kw : kwargs) {
            check_status(PyDict_SetItemString(keywords.get(), kw.name, kw.value.ref().get()));
        }
    }
    return check(PyObject_Call(callable.get(), positional.get(), keywords.get()));
}

Ref call_method(PyObject* obj, const char* name, Values args) {
    return call(getattr(obj, name), args);
}

Ref call_method(const Ref& obj, const char* name, Values args) {
    return call_method(obj.get(), name, args);
}

bool truthy(const Ref& obj) { return check_status(PyObject_IsTrue(obj.get())) != 0; }

bool equals(const Ref& a, const char* utf8) {
    Ref b = str(utf8);
    return check_status(PyObject_RichCompareBool(a.get(), b.get(), Py_EQ)) != 0;
}

long long as_long(const Ref& obj) {
    long long v = PyLong_AsLongLong(obj.get());
    if (v == -1 && PyErr_Occurred() != nullptr) throw PyError{};
    return v;
}

Py_ssize_t length(const Ref& obj) {
    Py_ssize_t n = PyObject_Size(obj.get());
    if (n < 0) throw PyError{};
    return n;
}

Ref item(const Ref& sequence, Py_ssize_t index) {
    Ref key = integer(index);
    return check(PyObject_GetItem(sequence.get(), key.get()));
}

void append(const Ref& list, const Value& value) {
    check_status(PyList_Append(list.get(), value.ref().get()));
}

Ref format(const char* templ, Values args) {
    return call(getattr(str(templ), "format"), args);
}

Ref builtin(const char* name) {
    Ref builtins = check(PyImport_ImportModule("builtins"));
    return getattr(builtins, name);
}

Ref take_error_text() {
    PyObject* type = nullptr;
    PyObject* value = nullptr;
    PyObject* tb = nullptr;
    PyErr_Fetch(&type, &value, &tb);
    PyErr_NormalizeException(&type, &value, &tb);
    Ref owned_type = Ref::steal(type);
    Ref owned_value = Ref::steal(value);
    Ref owned_tb = Ref::steal(tb);
    return check(PyObject_Str(owned_value ? owned_value.get() : Py_None));
}

Ref exit_context(const Ref& exit, PyObject* type, PyObject* value, PyObject* tb) {
    return call(exit, {Ref::borrow(type ? type : Py_None), Ref::borrow(value ? value : Py_None),
                       Ref::borrow(tb ? tb : Py_None)});
}

}  // namespace velmora::py
