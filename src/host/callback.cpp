#include "host/callback.hpp"

#include "host/entry.hpp"

namespace velmora::host {
namespace {

struct CallbackObject {
    PyObject_HEAD
    std::function<py::Ref()>* body;
    int arity;
};

CallbackObject* as_callback(PyObject* self) { return reinterpret_cast<CallbackObject*>(self); }

PyObject* callback_call(PyObject* self, PyObject* args, PyObject* kwargs) {
    CallbackObject* callback = as_callback(self);
    Py_ssize_t given = PyTuple_Size(args);
    if ((kwargs != nullptr && PyDict_Size(kwargs) != 0) || given != callback->arity) {
        PyErr_Format(PyExc_TypeError, "callback takes exactly %d positional argument%s (%zd given)",
                     callback->arity, callback->arity == 1 ? "" : "s", given);
        return nullptr;
    }
    return entry([callback] { return (*callback->body)(); });
}

void callback_dealloc(PyObject* self) {
    delete as_callback(self)->body;
    PyTypeObject* type = Py_TYPE(self);
    auto free_object = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
    free_object(self);
    Py_DECREF(type);  // instances of heap types own a reference to their type
}

// Callbacks are made only from C++, with their body.
PyObject* callback_new(PyTypeObject* /*type*/, PyObject* /*args*/, PyObject* /*kwargs*/) {
    PyErr_SetString(PyExc_TypeError, "cannot create 'velmora.Callback' instances");
    return nullptr;
}

PyType_Slot kSlots[] = {
    {Py_tp_new, reinterpret_cast<void*>(callback_new)},
    {Py_tp_call, reinterpret_cast<void*>(callback_call)},
    {Py_tp_dealloc, reinterpret_cast<void*>(callback_dealloc)},
    {0, nullptr},
};

PyType_Spec kSpec = {"velmora.Callback", sizeof(CallbackObject), 0, Py_TPFLAGS_DEFAULT, kSlots};

PyTypeObject* callback_type() {
    // Created on first use and kept for the life of the process.
    static PyObject* type = nullptr;
    if (type == nullptr) type = py::check(PyType_FromSpec(&kSpec)).release();
    return reinterpret_cast<PyTypeObject*>(type);
}

}  // namespace

py::Ref make_callback(std::function<py::Ref()> body, int arity) {
    PyTypeObject* type = callback_type();
    auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
    py::Ref object = py::check(alloc(type, 0));
    as_callback(object.get())->body = new std::function<py::Ref()>(std::move(body));
    as_callback(object.get())->arity = arity;
    return object;
}

}  // namespace velmora::host
