#include "headless/entry_points.hpp"

#include "headless/dry_run.hpp"
#include "headless/ending.hpp"
#include "headless/worker.hpp"
#include "host/entry.hpp"
#include "host/stdlib.hpp"

#include <string>

namespace velmora::headless {
namespace {

// A usage error reaches Python as ValueError with its one line.
template <class Body>
PyObject* guarded(Body&& body) {
    return entry([&] { return usage_as_python(body); });
}

// batch(folder, ...): its parameters are the rows of kOptions.
PyObject* batch(PyObject* /*module*/, PyObject* args, PyObject* kwargs) {
    return guarded([&] {
        Request request = make_request(bind_arguments("batch", args, kwargs, kBatch));
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
     "Converts a folder of scenes headless, with `jobs` mayapy workers, by the window's rules.\n"
     "Returns the results: total, converted, failed [(source, reason)], skipped, outputs,\n"
     "pending, start_time, end_time, journal, logs. A file that crashes or hangs Maya fails\n"
     "alone; an interrupted batch is finished by running it again with resume=True\n"
     "(and, asked to, converts the sources that failed again; restart=True starts it over,\n"
     "its journal kept aside). The pipeline options write the outputs under a folder of\n"
     "their own, set the FBX files' version and text form, and filter the sources by\n"
     "shell-style patterns; dry_run=True returns the names a run would write without\n"
     "starting Maya."},
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

// The docstrings begin with the signatures that kOptions gives.
PyMethodDef* entry_points() {
    static const std::string doc = signature("batch", kBatch) + "\n--\n\n" + kEntryPoints[0].ml_doc;
    kEntryPoints[0].ml_doc = doc.c_str();
    return kEntryPoints;
}
PyMethodDef* worker_entry_points() { return kWorkerEntryPoints; }

}  // namespace velmora::headless
