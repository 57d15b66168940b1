// velmora.doctor, velmora._doctor_checks and the command's argv.
#include "doctor/console.hpp"
#include "doctor/doctor.hpp"

#include "headless/ending.hpp"
#include "headless/progress.hpp"
#include "host/entry.hpp"
#include "host/host.hpp"

namespace velmora::doctor {
namespace {

double checked_timeout(const Ref& timeout) {
    double seconds = -1;
    if (PyNumber_Check(timeout.get()) && !PyBool_Check(timeout.get())) {
        py::swallow([&] { seconds = py::as_double(py::call(py::builtin("float"), {timeout})); });
    }
    if (!(seconds > 0)) {
        headless::usage(py::format("timeout must be a number of seconds above 0, not {!r}", {timeout}));
    }
    return seconds;
}

Ref parse(const Ref& argv) {
    Ref parser = py::call(host::attribute("argparse", "ArgumentParser"), {},
                          {{"prog", "velmora-batch doctor"},
                           {"description", "Checks that this machine's Maya, its FBX plug-in and a share do what "
                                           "velmora relies on, with velmora's own code in mayapy."}});
    Ref add = py::getattr(parser, "add_argument");
    py::call(add, {"--mayapy"}, {{"help", "the mayapy to check (default: the one a batch would run)"}});
    py::call(add, {"--folder"}, {{"help", "a folder a batch will write to: links, letter case, the batch's lock"}});
    py::call(add, {"--timeout"}, {{"type", py::builtin("float")}, {"default", 600.0},
                                  {"help", "seconds one check may take, Maya's start included (default: 600)"}});
    return py::call_method(parser, "parse_args", {argv});
}

// doctor(mayapy=None, folder=None, timeout=600.0)
PyObject* doctor_entry(PyObject* /*module*/, PyObject* args, PyObject* kwargs) {
    static char k0[] = "mayapy", k1[] = "folder", k2[] = "timeout";
    char* keywords[] = {k0, k1, k2, nullptr};
    PyObject* mayapy = Py_None;
    PyObject* folder = Py_None;
    PyObject* timeout = nullptr;
    if (PyArg_ParseTupleAndKeywords(args, kwargs, "|OOO:doctor", keywords, &mayapy, &folder, &timeout) == 0) {
        return nullptr;
    }
    return entry([&] {
        return headless::usage_as_python([&] {
            Examination examination{Ref::borrow(mayapy), Ref::borrow(folder),
                                    timeout == nullptr ? 600.0 : checked_timeout(Ref::borrow(timeout))};
            return examine(examination, nullptr);
        });
    });
}

PyObject* doctor_checks_entry(PyObject* /*module*/, PyObject* argv) {
    return entry([&] { return py::integer(doctor_checks(Ref::borrow(argv))); });
}

PyMethodDef kEntryPoints[] = {
    {"doctor", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(doctor_entry)),
     METH_VARARGS | METH_KEYWORDS,
     "doctor(mayapy=None, folder=None, timeout=600.0)\n--\n\n"
     "Checks, with velmora's own code in mayapy, that this Maya, its FBX plug-in and (given a folder)\n"
     "a share do what velmora relies on. Returns the findings, one dict per check: check, ok\n"
     "(None: not checked because of an earlier failure), detail, seconds. A check that says nothing\n"
     "for `timeout` seconds is stopped. A mayapy that runs no check at all raises ValueError."},
    {"_doctor_checks", doctor_checks_entry, METH_O,
     "_doctor_checks(argv)\n--\n\nThe doctor's checks inside mayapy (started by doctor)."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

int doctor_main(const Ref& argv) {
    Ref args = parse(argv);
    Examination examination{py::getattr(args, "mayapy"), py::getattr(args, "folder"),
                            checked_timeout(py::getattr(args, "timeout"))};
    try {
        examination = prepared(examination);
        print_start(examination.mayapy);
        return print_ending(examine(examination, print_finding), examination.mayapy);
    } catch (const py::PyError&) {
        if (PyErr_ExceptionMatches(PyExc_KeyboardInterrupt) == 0) throw;
        PyErr_Clear();
        headless::write_console(py::str("velmora doctor: interrupted; mayapy stopped, nothing left behind\n"));
        return headless::exit_status(headless::Ending::Interrupted);
    }
}

PyMethodDef* entry_points() { return kEntryPoints; }

}  // namespace velmora::doctor
