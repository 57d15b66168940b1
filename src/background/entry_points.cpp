#include "background/entry_points.hpp"

#include "background/background.hpp"
#include "background/registry.hpp"
#include "headless/ending.hpp"
#include "host/entry.hpp"

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

// start_batch(folder, sources=("ma", "mb", "fbx"), outputs=("ma",),
//             preset="Default", recursive=True, skip_existing=False,
//             jobs=None, timeout=None, mayapy=None, journal=None,
//             output_folder=None, fbx_version=None, fbx_ascii=False,
//             include=None, exclude=None)
PyObject* start_batch(PyObject* /*module*/, PyObject* args, PyObject* kwargs) {
    static char k0[] = "folder", k1[] = "sources", k2[] = "outputs", k3[] = "preset",
                k4[] = "recursive", k5[] = "skip_existing", k6[] = "jobs", k7[] = "timeout",
                k8[] = "mayapy", k9[] = "journal", k10[] = "output_folder", k11[] = "fbx_version",
                k12[] = "fbx_ascii", k13[] = "include", k14[] = "exclude";
    char* keywords[] = {k0, k1, k2, k3, k4, k5, k6, k7, k8, k9, k10, k11, k12, k13, k14, nullptr};
    PyObject* folder = nullptr;
    PyObject* sources = nullptr;
    PyObject* outputs = nullptr;
    PyObject* preset = nullptr;
    int recursive = 1;
    int skip_existing = 0;
    PyObject* jobs = Py_None;
    PyObject* timeout = Py_None;
    PyObject* mayapy = Py_None;
    PyObject* journal = Py_None;
    PyObject* output_folder = Py_None;
    PyObject* fbx_version = Py_None;
    int fbx_ascii = 0;
    PyObject* include = Py_None;
    PyObject* exclude = Py_None;
    if (PyArg_ParseTupleAndKeywords(args, kwargs, "O|OOOppOOOOOOpOO:start_batch", keywords, &folder, &sources,
                                    &outputs, &preset, &recursive, &skip_existing, &jobs, &timeout, &mayapy,
                                    &journal, &output_folder, &fbx_version, &fbx_ascii, &include,
                                    &exclude) == 0) {
        return nullptr;
    }
    return guarded([&] {
        headless::BatchArguments given;
        given.folder = Ref::borrow(folder);
        if (sources != nullptr) given.sources = Ref::borrow(sources);
        if (outputs != nullptr) given.outputs = Ref::borrow(outputs);
        if (preset != nullptr) given.preset = Ref::borrow(preset);
        given.recursive = recursive != 0;
        given.skip_existing = skip_existing != 0;
        given.jobs = Ref::borrow(jobs);
        given.timeout = Ref::borrow(timeout);
        given.mayapy = Ref::borrow(mayapy);
        given.journal = Ref::borrow(journal);
        given.output_folder = Ref::borrow(output_folder);
        given.fbx_version = Ref::borrow(fbx_version);
        given.fbx_ascii = fbx_ascii != 0;
        given.include = Ref::borrow(include);
        given.exclude = Ref::borrow(exclude);
        return start(given);
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
     "start_batch(folder, sources=('ma', 'mb', 'fbx'), outputs=('ma',), preset='Default', "
     "recursive=True, skip_existing=False, jobs=None, timeout=None, mayapy=None, journal=None, "
     "output_folder=None, fbx_version=None, fbx_ascii=False, include=None, exclude=None)\n--\n\n"
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

PyMethodDef* entry_points() { return kEntryPoints; }

}  // namespace velmora::background
