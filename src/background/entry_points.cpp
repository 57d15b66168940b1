#include "background/entry_points.hpp"

#include "background/background.hpp"
#include "background/registry.hpp"
#include "headless/ending.hpp"
#include "host/entry.hpp"

#include <string>

namespace velmora::background {
namespace {

template <class Body>
PyObject* guarded(Body&& body) {
    return entry([&]() -> Ref {
        try {
            return body();
        } catch (const headless::UsageError& e) {
            PyErr_SetString(PyExc_ValueError, e.what());
            throw py::PyError{};
        }
    });
}

// start_batch(folder, ...): its parameters are the rows of kOptions it takes.
PyObject* start_batch(PyObject* /*module*/, PyObject* args, PyObject* kwargs) {
    return guarded([&] {
        return start(headless::bind_arguments("start_batch", args, kwargs, headless::kStartBatch));
    });
}

PyObject* batches_entry(PyObject* /*module*/, PyObject* /*unused*/) {
    return guarded([] { return all_batches(); });
}

PyObject* stop_batch(PyObject* /*module*/, PyObject* id) {
    return guarded([&] {
        stop(Ref::borrow(id));
        return py::none();
    });
}

PyObject* resume_batch(PyObject* /*module*/, PyObject* args, PyObject* kwargs) {
    static char k0[] = "id", k1[] = "retry_failed";
    char* keywords[] = {k0, k1, nullptr};
    PyObject* id = nullptr;
    int retry_failed = 0;
    if (PyArg_ParseTupleAndKeywords(args, kwargs, "O|p:resume_batch", keywords, &id, &retry_failed) == 0) {
        return nullptr;
    }
    return guarded([&] {
        resume(Ref::borrow(id), retry_failed != 0);
        return py::none();
    });
}

PyObject* forget_batch(PyObject* /*module*/, PyObject* id) {
    return guarded([&] {
        forget(Ref::borrow(id));
        return py::none();
    });
}

PyObject* background_entry(PyObject* /*module*/, PyObject* folder) {
    return guarded([&] { return py::integer(run_controller(Ref::borrow(folder))); });
}

PyCFunction with_keywords(PyCFunctionWithKeywords function) {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(function));
}

PyMethodDef kEntryPoints[] = {
    {"start_batch", with_keywords(start_batch), METH_VARARGS | METH_KEYWORDS,
     "Starts a batch in the background, in a controller process of its own that outlives the\n"
     "caller, and returns its id at once. The arguments are batch()'s, checked the same way."},
    {"batches", batches_entry, METH_NOARGS,
     "batches()\n--\n\nEvery background batch of this user, newest first: batch()'s results so far\n"
     "plus id, folder, state ('starting', 'running', 'stopping', 'interrupted', 'finished'),\n"
     "done, started, ended, eta and error. Read from disk; never waits for a batch."},
    {"stop_batch", stop_batch, METH_O,
     "stop_batch(id)\n--\n\nAsks a background batch to stop as Ctrl-C stops a batch (files in hand\n"
     "finish); it becomes 'interrupted'. Nothing for a batch that ended. KeyError for an unknown id."},
    {"resume_batch", with_keywords(resume_batch), METH_VARARGS | METH_KEYWORDS,
     "resume_batch(id, retry_failed=False)\n--\n\nContinues a background batch from its journal, in "
     "the background, under the same id."},
    {"forget_batch", forget_batch, METH_O,
     "forget_batch(id)\n--\n\nRemoves an ended background batch from the list; its outputs stay."},
    {"_background", background_entry, METH_O,
     "_background(folder)\n--\n\nA background batch's controller (started by start_batch)."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

// The docstring begins with the signature that kOptions gives.
PyMethodDef* entry_points() {
    static const std::string doc = headless::signature("start_batch", headless::kStartBatch) + "\n--\n\n" +
                                   kEntryPoints[0].ml_doc;
    kEntryPoints[0].ml_doc = doc.c_str();
    return kEntryPoints;
}

}  // namespace velmora::background
