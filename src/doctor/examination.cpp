// The doctor outside mayapy: starts the one mayapy that runs the checks,
// reads their findings as they come, stops a mayapy that hangs, names the
// checks a dead or stopped one never reported, and leaves nothing behind:
// not its temporary folder, not a file in the share, not a process.
#include "doctor/doctor.hpp"

#include "doctor/checklist.hpp"
#include "doctor/checks.hpp"
#include "headless/options.hpp"
#include "headless/worker_process.hpp"
#include "host/host.hpp"

#include <algorithm>
#include <optional>

namespace velmora::doctor {
namespace {

constexpr double kPollSeconds = 0.1;
// A mayapy that ended, or was stopped, gets this long to go before it is
// killed.
constexpr double kReapSeconds = 10.0;
constexpr int kTailLines = 3;
constexpr int kTailChars = 400;
constexpr long long kTailBytes = 65536;

constexpr const char kChildCode[] =
    "import sys; sys.path.insert(0, sys.argv[1]); import velmora; "
    "sys.exit(velmora._doctor_checks(sys.argv[2:]))";

bool same_text(const Ref& a, const Ref& b) {
    return py::check_status(PyObject_RichCompareBool(a.get(), b.get(), Py_EQ)) != 0;
}

Ref slice(const Ref& sequence, Py_ssize_t from, Py_ssize_t to) {
    return py::check(PySequence_GetSlice(sequence.get(), from, to));
}

Ref checked_folder(const Ref& given) {
    if (given.get() == Py_None) return given;
    Ref folder = py::call(host::attribute("os", "fspath"), {given});
    if (!PyUnicode_Check(folder.get())) headless::usage(py::str("the folder must be given as text"));
    if (!py::truthy(host::os_path("isdir", {folder}))) headless::usage(py::format("folder not found: {}", {folder}));
    return host::os_path("abspath", {folder});
}

// The findings file as it grows: whole lines only, each a finding or the
// name of the check begun.
class Findings {
public:
    Findings(Ref path, const Seen& seen) : path_(std::move(path)), seen_(seen) {}

    // Takes what has arrived; true when anything did.
    bool read() {
        if (!host::exists(path_)) return false;
        Ref data;
        py::with(py::call(py::builtin("open"), {path_, "rb"}), [&](const Ref& f) {
            py::call_method(f, "seek", {py::integer(offset_)});
            data = py::call_method(f, "read");
        });
        Py_ssize_t size = py::length(data);
        if (size == 0) return false;
        offset_ += static_cast<long long>(size);
        Ref lines = py::call_method(py::check(PyNumber_Add(partial_.get(), data.get())), "split",
                                    {py::check(PyBytes_FromStringAndSize("\n", 1))});
        Py_ssize_t whole = py::length(lines) - 1;
        partial_ = py::item(lines, whole);
        for (Py_ssize_t i = 0; i < whole; ++i) take(py::item(lines, i));
        return true;
    }

    const Ref& list() const { return list_; }
    // The check begun and not yet reported, or None.
    const Ref& current() const { return current_; }
    // Whether mayapy began any check at all.
    bool any_begun() const { return begun_; }
    bool reported(const Check& check) const {
        return py::any_of(list_, [&check](const Ref& f) { return py::equals(py::get_item(f, "check"), check.name); });
    }
    void add(const Ref& finding) { py::append(list_, finding); }

private:
    void take(const Ref& line) {
        if (py::length(line) == 0) return;
        Ref record;
        if (py::guard([&] { record = py::json_parse(line); })) return;  // not the checks' line
        begun_ = true;
        if (std::optional<Ref> begun = py::find_item(record, "begin")) {
            current_ = *begun;
            return;
        }
        current_ = py::none();
        add(record);
        if (seen_) seen_(record);
    }

    Ref path_;
    const Seen& seen_;
    long long offset_ = 0;
    Ref partial_ = py::check(PyBytes_FromStringAndSize("", 0));
    Ref list_ = py::list();
    Ref current_ = py::none();
    bool begun_ = false;
};

// The end of what mayapy printed, read from its log.
Ref log_end(const Ref& log) {
    Ref text = py::str("");
    py::guard([&] {
        py::with(py::call(py::builtin("open"), {log, "rb"}), [&](const Ref& f) {
            long long size = py::as_long(py::call_method(f, "seek", {0, 2}));
            py::call_method(f, "seek", {std::max(0LL, size - kTailBytes)});
            text = py::call_method(py::call_method(f, "read"), "decode", {"utf-8", "replace"});
        });
    });
    return text;
}

// The last lines mayapy printed, on one line: what it said as it died.
Ref output_tail(const Ref& log) {
    Ref lines = py::list();
    py::for_each(py::call_method(log_end(log), "splitlines"), [&lines](const Ref& line) {
        Ref stripped = py::call_method(line, "strip");
        if (py::truthy(stripped)) py::append(lines, stripped);
    });
    Py_ssize_t count = py::length(lines);
    Ref last = slice(lines, count > kTailLines ? count - kTailLines : 0, count);
    Ref joined = py::call_method(py::str(" | "), "join", {last});
    Py_ssize_t length = py::length(joined);
    if (length > kTailChars) joined = py::format("...{}", {slice(joined, length - kTailChars, length)});
    return py::truthy(joined) ? py::format("; it printed: {}", {joined}) : py::str("");
}

// The checks mayapy never reported: the first with how mayapy ended and
// what it printed, the rest as not checked because of it.
void name_missing(Findings& findings, bool with_folder, const Ref& how, const Ref& tail) {
    std::optional<Ref> first;
    for (const Check* check : checklist(with_folder)) {
        if (findings.reported(*check)) continue;
        if (first) {
            findings.add(not_checked(*check, py::format("mayapy {} during '{}'", {how, *first})));
            continue;
        }
        first = py::str(check->name);
        bool begun = same_text(findings.current(), *first);
        const char* when = begun ? "during this check" : "before this check began";
        Ref message = py::format("mayapy {} {}{}", {how, when, tail});
        Ref detail = check == &checks::kModule
                         ? py::format("{} -- velmora cannot run in this mayapy, so no batch can start", {message})
                         : failure_detail(*check, message);
        findings.add(finding(*check, false, detail, 0.0));
    }
}

// Starts mayapy on the checks, its output going to `log`. A mayapy that
// cannot be started at all is the user's to fix: a usage error.
void start(std::optional<headless::WorkerProcess>& child, const Ref& command, const Ref& log) {
    try {
        child.emplace(0, command, log, monotonic());
    } catch (const py::PyError&) {
        if (PyErr_ExceptionMatches(PyExc_OSError) == 0) throw;
        headless::usage(py::format("mayapy could not be run: {}: {}", {py::item(command, 0), py::take_error_text()}));
    }
}

// Waits for mayapy to end, reading the findings as they come. A check that
// says nothing for `timeout` seconds is stuck: mayapy is killed. Returns
// whether it was.
bool watch(headless::WorkerProcess& child, Findings& findings, double timeout) {
    double since = monotonic();
    while (!child.exited()) {
        double now = monotonic();
        if (findings.read()) since = now;
        if (now - since > timeout) {
            child.kill();
            return true;
        }
        host::time("sleep", {kPollSeconds});
    }
    return false;
}

Ref examine_in(const Ref& work, const Examination& examination, const Seen& seen) {
    Ref mayapy = examination.mayapy;
    Ref folder = examination.folder;
    Ref id = py::call_method(host::os("urandom", {py::integer(8)}), "hex");
    Ref binary = host::os_path("abspath", {host::global("__file__")});
    Ref path = host::os_path("join", {work, "findings.jsonl"});
    Ref log = host::os_path("join", {work, "mayapy.log"});
    Ref command = py::list({mayapy, "-c", kChildCode, host::os_path("dirname", {binary}), path, work,
                            folder.get() == Py_None ? py::str("") : folder, binary, id});
    std::optional<headless::WorkerProcess> child;
    start(child, command, log);
    Findings findings(path, seen);
    bool stopped = false;
    py::finally([&] { stopped = watch(*child, findings, examination.timeout); },
                [&] {
                    child->kill();
                    child->reap(kReapSeconds);
                    // Whatever it ended with: a mayapy that exits 0 may
                    // still have stopped in the middle of a check.
                    remove_marked(Setting{work, folder, binary, id});
                });
    findings.read();
    Ref how = stopped ? py::format("did not finish within {} s and was stopped", {examination.timeout})
                      : py::format("ended ({})", {py::text(child->ending())});
    if (!findings.any_begun()) {
        // Not one finding: the doctor examined nothing, so it cannot pass.
        headless::usage(py::format("mayapy ran none of the doctor's checks: {} {}{}",
                                   {mayapy, how, output_tail(log)}));
    }
    // Even after exit code 0: every check is either reported or named.
    name_missing(findings, folder.get() != Py_None, how, output_tail(log));
    return findings.list();
}

}  // namespace

Ref locate_mayapy(const Ref& given) {
    try {
        return headless::find_mayapy(given);
    } catch (const headless::UsageError&) {
        if (given.get() != Py_None) throw;
    }
    Ref tried = headless::mayapy_places();
    py::append(tried, "mayapy on PATH");
    headless::usage(py::format("no mayapy found (tried {}); name one with --mayapy PATH or set MAYA_LOCATION",
                               {py::call_method(py::str(", "), "join", {tried})}));
}

Examination prepared(const Examination& given) {
    Examination examination = given;
    examination.mayapy = locate_mayapy(given.mayapy);
    examination.folder = checked_folder(given.folder);
    return examination;
}

Ref examine(const Examination& given, const Seen& seen) {
    Examination examination = prepared(given);
    Ref work = py::call(host::attribute("tempfile", "mkdtemp"), {}, {{"prefix", "velmora-doctor-"}});
    auto remove_work = [&work] { py::call(host::attribute("shutil", "rmtree"), {work}, {{"ignore_errors", true}}); };
    Ref findings;
    try {
        py::finally([&] { findings = examine_in(work, examination, seen); }, remove_work);
    } catch (const headless::UsageError&) {
        remove_work();  // a mayapy that cannot be run
        throw;
    }
    return findings;
}

}  // namespace velmora::doctor
