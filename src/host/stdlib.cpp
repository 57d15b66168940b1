#include "host/stdlib.hpp"

namespace velmora::host {

Ref module(const char* name) {
    PyObject* found = PyDict_GetItemString(PyImport_GetModuleDict(), name);
    if (found != nullptr) return Ref::borrow(found);
    return py::check(PyImport_ImportModule(name));
}

Ref attribute(const char* module_name, const char* name) {
    return py::getattr(module(module_name), name);
}

}  // namespace velmora::host

namespace velmora::py {

Ref dict(std::initializer_list<Keyword> items) {
    Ref result = check(PyDict_New());
    for (const Keyword& kw : items) set_item(result, kw.name, kw.value);
    return result;
}

void set_item(const Ref& dict, const char* key, const Value& value) {
    check_status(PyDict_SetItem(dict.get(), str(key).get(), value.ref().get()));
}

Ref get_item(const Ref& dict, const char* key) {
    return check(PyObject_GetItem(dict.get(), str(key).get()));
}

std::optional<Ref> find_item(const Ref& dict, const char* key) {
    Ref value = call_method(dict, "get", {key});
    if (value.get() == Py_None) return std::nullopt;
    return value;
}

Ref text(const std::string& utf8) {
    return check(PyUnicode_FromStringAndSize(utf8.data(), static_cast<Py_ssize_t>(utf8.size())));
}

std::string bytes_of(const Ref& text) {
    Ref bytes = check(PyUnicode_AsEncodedString(text.get(), "utf-8", "surrogateescape"));
    char* data = nullptr;
    Py_ssize_t size = 0;
    check_status(PyBytes_AsStringAndSize(bytes.get(), &data, &size));
    return std::string(data, static_cast<std::size_t>(size));
}

Ref text_of_bytes(const std::string& bytes) {
    return check(PyUnicode_DecodeUTF8(bytes.data(), static_cast<Py_ssize_t>(bytes.size()), "surrogateescape"));
}

double as_double(const Ref& obj) {
    double v = PyFloat_AsDouble(obj.get());
    if (v == -1.0 && PyErr_Occurred() != nullptr) throw PyError{};
    return v;
}

Ref json_line(const Ref& value) {
    Ref doc = call(host::attribute("json", "dumps"), {value});
    Ref line = check(PyUnicode_Concat(doc.get(), str("\n").get()));
    return call_method(line, "encode", {"ascii"});
}

Ref json_parse(const Ref& line) { return call(host::attribute("json", "loads"), {line}); }

}  // namespace velmora::py
