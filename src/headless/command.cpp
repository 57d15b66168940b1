// velmora-batch: the headless batch from a shell, run with mayapy.
#include "headless/options.hpp"

#include "farm/farm.hpp"
#include "headless/leftovers.hpp"
#include "headless/progress.hpp"

#include "host/host.hpp"
#include "host/stdlib.hpp"

namespace velmora::headless {
namespace {

constexpr int kInterrupted = 130;

void say(const Ref& text, const char* stream = "stdout") {
    write_console(py::format("{}\n", {text}), stream);
}

Ref parser() {
    Ref p = py::call(host::attribute("argparse", "ArgumentParser"), {},
                     {{"prog", "velmora-batch"},
                      {"description", "Converts a folder of Maya scenes with mayapy workers, "
                                      "as the velmora window would, and prints its report."}});
    add_options(p, true);
    return p;
}

// argparse ends with SystemExit (2 for bad arguments, 0 for --help).
std::optional<int> parse(const Ref& argv, Ref& args) {
    try {
        args = py::call_method(parser(), "parse_args", {argv});
        return std::nullopt;
    } catch (const py::PyError&) {
        if (PyErr_ExceptionMatches(PyExc_SystemExit) == 0) throw;
        return system_exit_status();
    }
}

int status_of(const Ref& results) {
    say(report_text(results));
    say(py::format("Journal: {}", {py::get_item(results, "journal")}));
    Ref error = py::get_item(results, "error");
    if (error.get() != Py_None) {
        say(py::format("velmora-batch: error: {}", {error}), "stderr");
        return 1;
    }
    Py_ssize_t pending = py::length(py::get_item(results, "pending"));
    if (py::truthy(py::get_item(results, "interrupted"))) {
        say(py::format("Interrupted: {} files not converted yet; run again with --resume to finish.",
                       {py::integer(pending)}));
        return kInterrupted;
    }
    return py::length(py::get_item(results, "failed")) > 0 || pending > 0 ? 1 : 0;
}

// The farm's commands (plan, run-task, report, submit) come first; any
// other first word is a folder. A folder of one of those names is reached
// as ./plan.
bool is_farm_command(const Ref& argv) {
    if (py::length(argv) == 0) return false;
    Ref first = py::item(argv, 0);
    for (const char* command : {"plan", "run-task", "report", "submit"}) {
        if (PyUnicode_Check(first.get()) && py::equals(first, command)) return true;
    }
    return false;
}

}  // namespace

int system_exit_status() {
    Ref error = py::take_error();
    Ref code = error ? py::getattr(error, "code") : py::none();
    if (code.get() == Py_None) return 0;
    if (PyLong_Check(code.get())) return static_cast<int>(py::as_long(code));
    say(py::call(py::builtin("str"), {code}), "stderr");
    return 1;
}

int batch_main(const Ref& argv) {
    if (is_farm_command(argv)) return farm::main(argv);
    if (is_clean_command(argv)) return clean_main(argv);
    Ref args;
    if (std::optional<int> status = parse(argv, args)) return *status;
    Request request;
    try {
        request = request_from(args, py::none());
        request.console = true;
        return status_of(run_batch(request));
    } catch (const UsageError& e) {
        say(py::format("velmora-batch: error: {}", {py::text(e.what())}), "stderr");
        return 2;
    }
}

}  // namespace velmora::headless
