#include "headless/entry_points.hpp"

#include "headless/dry_run.hpp"
#include "headless/ending.hpp"
#include "headless/worker.hpp"
#include "host/entry.hpp"
#include "host/stdlib.hpp"

namespace velmora::headless {
namespace {

// A usage error reaches Python as ValueError with its one line.
template <class Body>
PyObject* guarded(Body&& body) {
    return entry([&] { return usage_as_python(body); });
}

// batch(folder, sources=("ma", "mb", "fbx"), outputs=("ma",),
//       preset="Default", recursive=True, skip_existing=False, jobs=None,
//       timeout=None, mayapy=None, journal=None, resume=False,
//       retry_failed=False, progress=None, output_folder=None,
//       fbx_version=None, fbx_ascii=False, include=None, exclude=None,
//       dry_run=False)
PyObject* batch(PyObject* /*module*/, PyObject* args, PyObject* kwargs) {
    static char k0[] = "folder", k1[] = "sources", k2[] = "outputs", k3[] = "preset",
                k4[] = "recursive", k5[] = "skip_existing", k6[] = "jobs", k7[] = "timeout",
                k8[] = "mayapy", k9[] = "journal", k10[] = "resume", k11[] = "retry_failed",
                k12[] = "progress", k13[] = "output_folder", k14[] = "fbx_version", k15[] = "fbx_ascii",
                k16[] = "include", k17[] = "exclude", k18[] = "dry_run";
    char* keywords[] = {k0, k1, k2, k3, k4, k5, k6, k7, k8, k9, k10, k11, k12, k13, k14, k15, k16, k17, k18,
                        nullptr};
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
    int resume = 0;
    int retry_failed = 0;
    PyObject* progress = Py_None;
    PyObject* output_folder = Py_None;
    PyObject* fbx_version = Py_None;
    int fbx_ascii = 0;
    PyObject* include = Py_None;
    PyObject* exclude = Py_None;
    int dry_run = 0;
    if (PyArg_ParseTupleAndKeywords(args, kwargs, "O|OOOppOOOOppOOOpOOp:batch", keywords, &folder, &sources,
                                    &outputs, &preset, &recursive, &skip_existing, &jobs, &timeout,
                                    &mayapy, &journal, &resume, &retry_failed, &progress, &output_folder,
                                    &fbx_version, &fbx_ascii, &include, &exclude, &dry_run) == 0) {
        return nullptr;
    }
    return guarded([&] {
        BatchArguments given;
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
        given.resume = resume != 0;
        given.retry_failed = retry_failed != 0;
        given.progress = Ref::borrow(progress);
        given.output_folder = Ref::borrow(output_folder);
        given.fbx_version = Ref::borrow(fbx_version);
        given.fbx_ascii = fbx_ascii != 0;
        given.include = Ref::borrow(include);
        given.exclude = Ref::borrow(exclude);
        given.dry_run = dry_run != 0;
        Request request = make_request(given);
        if (request.dry_run) return plan_outputs(request);
        // The journal is closed and the workers stopped: an interruption
        // goes on up, as it would from any Python code.
        return results_or_raise(run_batch(request));
    });
}

PyObject* batch_report_entry(PyObject* /*module*/, PyObject* results) {
    return guarded([&] { return report_text(Ref::borrow(results)); });
}

PyObject* worker_entry(PyObject* /*module*/, PyObject* argv) {
    return guarded([&] { return py::integer(worker_main(Ref::borrow(argv))); });
}

PyCFunction with_keywords(PyCFunctionWithKeywords function) {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(function));
}

PyMethodDef kEntryPoints[] = {
    {"batch", with_keywords(batch), METH_VARARGS | METH_KEYWORDS,
     "batch(folder, sources=('ma', 'mb', 'fbx'), outputs=('ma',), preset='Default', "
     "recursive=True, skip_existing=False, jobs=None, timeout=None, mayapy=None, journal=None, "
     "resume=False, retry_failed=False, progress=None, output_folder=None, fbx_version=None, "
     "fbx_ascii=False, include=None, exclude=None, dry_run=False)\n--\n\n"
     "Converts a folder of scenes headless, with `jobs` mayapy workers, by the window's rules.\n"
     "Returns the results: total, converted, failed [(source, reason)], skipped, outputs,\n"
     "pending, start_time, end_time, journal, logs. A file that crashes or hangs Maya fails\n"
     "alone; an interrupted batch is finished by running it again with resume=True\n"
     "(retry_failed=True converts the sources that failed again). output_folder writes the\n"
     "outputs under a folder of their own, include/exclude filter the sources by shell-style\n"
     "patterns, and dry_run=True returns the names a run would write without starting Maya."},
    {"batch_report", batch_report_entry, METH_O,
     "batch_report(results)\n--\n\nThe statistics report of batch()'s results, as the window "
     "shows it."},
    {nullptr, nullptr, 0, nullptr},
};

PyMethodDef kWorkerEntryPoints[] = {
    {"_worker", worker_entry, METH_O, "_worker(argv)\n--\n\nA headless batch's worker (started by batch)."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

PyMethodDef* entry_points() { return kEntryPoints; }
PyMethodDef* worker_entry_points() { return kWorkerEntryPoints; }

}  // namespace velmora::headless
