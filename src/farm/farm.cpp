#include "farm/farm.hpp"

#include "farm/commands.hpp"
#include "host/stdlib.hpp"

namespace velmora::farm {
namespace {

struct Command {
    const char* name;
    int (*run)(const Ref& argv);
};

constexpr Command kCommands[] = {
    {"plan", plan},
    {"run-task", run_task},
    {"report", report},
    {"submit", submit},
};

int dispatch(const Ref& argv) {
    const char* usage = "usage: velmora-batch plan|run-task|report|submit ...";
    if (py::length(argv) == 0) throw UsageError(usage);
    Ref name = py::item(argv, 0);
    Ref rest = py::check(PySequence_GetSlice(argv.get(), 1, py::length(argv)));
    for (const Command& command : kCommands) {
        if (py::equals(name, command.name)) return command.run(rest);
    }
    throw UsageError(text(py::format("unknown farm command {!r}; {}", {name, usage})));
}

}  // namespace

// Throws only py::PyError (the Python error set), for its caller's entry
// point to hand to the interpreter; the name is the farm's entry, not C's.
int main(const py::Ref& argv) {  // NOLINT(bugprone-exception-escape)
    try {
        return dispatch(argv);
    } catch (const UsageError& e) {
        warn(py::format("velmora-batch: error: {}", {py::text(e.what())}));
        return 2;
    } catch (const py::PyError&) {
        if (PyErr_ExceptionMatches(PyExc_SystemExit) != 0) return headless::system_exit_status();
        throw;
    }
}

Ref new_parser(const char* command, const char* description) {
    Ref parser_class = py::getattr(module("argparse"), "ArgumentParser");
    return py::call(parser_class, {},
                    {{"prog", py::format("velmora-batch {}", {command})}, {"description", description}});
}

void add_argument(const Ref& parser, const char* name, py::Keywords options) {
    py::call(py::getattr(parser, "add_argument"), {name}, options);
}

Ref parse(const Ref& parser, const Ref& argv) {
    return py::call_method(parser, "parse_args", {argv});
}

Ref absolute(const Ref& path) {
    return py::call(py::getattr(py::getattr(module("os"), "path"), "abspath"), {path});
}

}  // namespace velmora::farm
