#include "cli/cli.hpp"

#include "doctor/doctor.hpp"
#include "farm/farm.hpp"
#include "headless/dry_run.hpp"
#include "headless/ending.hpp"
#include "headless/leftovers.hpp"
#include "headless/progress.hpp"
#include "host/stdlib.hpp"

namespace velmora::cli {
namespace {

using py::Ref;

// A subcommand is given the words after its name and returns the exit
// status; it may throw headless::UsageError, and argparse's SystemExit.
struct Subcommand {
    const char* name;
    int (*run)(const Ref& argv);
    const char* words;    // its arguments, as the help shows them
    const char* summary;  // its line in the help
};

// The first word picks a subcommand; any other first word is a folder (a
// folder named like a subcommand is reached as ./plan). A subcommand is
// one line of this table, and the help lists them in its order.
constexpr Subcommand kSubcommands[] = {
    {"plan", farm::plan, "FOLDER --tasks N --out JOBDIR", "cut a batch into farm tasks (its options as below)"},
    {"run-task", farm::run_task, "JOBDIR INDEX", "convert one task of a plan, on a farm node"},
    {"report", farm::report, "JOBDIR", "merge the tasks' journals into one report, with what to run again"},
    {"submit", farm::submit, "--farm MANAGER JOBDIR", "write a farm manager's job and submit it"},
    {"inspect", inspect_main, "PATH... [--json]", "read scenes without Maya: version, plug-ins, what they lack"},
    {"doctor", doctor::doctor_main, "[--folder DIR]", "check this machine's Maya, FBX plug-in and a share"},
    {"clean", headless::clean_main, "FOLDER", "remove what batches no longer running left in a folder"},
};

const Subcommand* subcommand_of(const Ref& argv) {
    if (py::length(argv) == 0) return nullptr;
    Ref first = py::item(argv, 0);
    if (!PyUnicode_Check(first.get())) return nullptr;
    for (const Subcommand& sub : kSubcommands) {
        if (py::equals(first, sub.name)) return &sub;
    }
    return nullptr;
}

// The exit status of the SystemExit being raised (argparse ends a bad
// command line, and --help, with one; its message is on stderr already).
int system_exit_status() {
    Ref error = py::take_error();
    Ref code = error ? py::getattr(error, "code") : py::none();
    if (code.get() == Py_None) return 0;
    if (PyLong_Check(code.get())) return static_cast<int>(py::as_long(code));
    headless::write_console(py::format("{}\n", {py::call(py::builtin("str"), {code})}), "stderr");
    return 1;
}

// Usage errors and SystemExit end the command with their status; any
// other error goes on up.
template <class Body>
int command(Body&& body) {
    try {
        return body();
    } catch (const headless::UsageError& error) {
        return headless::usage_ending(error);
    } catch (const py::PyError&) {
        if (PyErr_ExceptionMatches(PyExc_SystemExit) == 0) throw;
        return system_exit_status();
    }
}

// The help's end: the commands, a line each, their words aligned.
Ref commands_epilog() {
    Ref lines = py::list({"commands (each in Maya's Python, as the batch; COMMAND --help for its options):"});
    for (const Subcommand& sub : kSubcommands) {
        Ref usage = py::format("{} {}", {sub.name, sub.words});
        py::append(lines, py::format("  {:<38} {}", {usage, sub.summary}));
    }
    return py::call_method(py::str("\n"), "join", {lines});
}

Ref parser() {
    // Raw, so that the commands keep a line each; the options' own help is
    // formatted as before.
    Ref p = py::call(host::attribute("argparse", "ArgumentParser"), {},
                     {{"prog", "velmora-batch"},
                      {"description", "Converts a folder of Maya scenes with mayapy workers, "
                                      "as the velmora window would, and prints its report."},
                      {"epilog", commands_epilog()},
                      {"formatter_class", host::attribute("argparse", "RawDescriptionHelpFormatter")}});
    headless::add_options(p, true);
    return p;
}

// --dry-run: the report of what a run would do, then the names it would
// write; 0 unless a source would fail.
int dry_run(const headless::Request& request) {
    py::for_each(request.notices, [](const Ref& notice) {
        headless::write_console(py::format("velmora-batch: warning: {}\n", {notice}), "stderr");
    });
    Ref results = headless::plan_outputs(request);
    headless::write_console(py::format("{}\n{}\n", {headless::report_text(results),
                                                      headless::planned_lines(results, request.folder)}));
    return py::length(py::get_item(results, "failed")) > 0 ? 1 : 0;
}

// velmora-batch FOLDER [options]: the headless batch with its live line.
int convert_folder(const Ref& argv) {
    Ref args = py::call_method(parser(), "parse_args", {argv});
    headless::Request request = headless::request_from(args, py::none());
    request.console = true;
    if (request.dry_run) return dry_run(request);
    return headless::command_run(request, "run again with --resume to finish");
}

}  // namespace

int batch_main(const Ref& argv) {
    return command([&argv] {
        if (const Subcommand* sub = subcommand_of(argv)) {
            return sub->run(py::check(PySequence_GetSlice(argv.get(), 1, py::length(argv))));
        }
        return convert_folder(argv);
    });
}

}  // namespace velmora::cli
