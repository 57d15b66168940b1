// velmora-batch plan FOLDER [batch options] --tasks N --out JOBDIR: lists
// the sources once, as the window would, and writes the job's manifest.
#include "farm/commands.hpp"
#include "farm/manifest.hpp"
#include "farm/partition.hpp"
#include "headless/options.hpp"
#include "host/host.hpp"

#include <cstring>

namespace velmora::farm {
namespace {

// Sizes at planning time; a file that cannot be read costs the fixed part.
std::vector<long long> sizes_of(const Ref& folder, const Ref& sources) {
    std::vector<long long> sizes;
    py::for_each(sources, [&](const Ref& rel) {
        long long size = 0;
        py::swallow([&] {
            size = py::as_long(host::os_path("getsize", {join(folder, rel)}));
        });
        sizes.push_back(size);
    });
    return sizes;
}

Ref task_entries(const std::vector<std::vector<Py_ssize_t>>& parts,
                 const std::vector<long long>& sizes) {
    Ref tasks = py::list();
    for (const auto& part : parts) {
        Ref indices = py::list();
        long long bytes = 0;
        for (Py_ssize_t i : part) {
            py::append(indices, py::integer(i));
            bytes += sizes[static_cast<std::size_t>(i)];
        }
        py::append(tasks, dict({{"sources", indices}, {"bytes", py::integer(bytes)}}));
    }
    return tasks;
}

void print_summary(const Ref& jobdir, const Ref& sources, const Ref& tasks, Py_ssize_t asked) {
    say(py::format("Planned {} sources in {} tasks into {}",
                   {py::integer(py::length(sources)), py::integer(py::length(tasks)), jobdir}));
    if (py::length(tasks) < asked) {
        say(py::format("  (fewer than the {} asked: sources that share a base name stay together)",
                       {py::integer(asked)}));
    }
    Py_ssize_t index = 0;
    py::for_each(tasks, [&](const Ref& task) {
        say(py::format("  task {}: {} sources, {} bytes",
                       {py::integer(index++), py::integer(py::length(get(task, "sources"))), get(task, "bytes")}));
    });
    say(py::format("Next: velmora-batch submit --farm slurm|deadline|opencue|openjd {}", {jobdir}));
}

// The batch's options that belong to one run, not to a plan (neither
// recorded nor planned; the mayapy is recorded apart): each task has its
// journal in the job folder and resumes by itself.
void refuse_run_options(const Ref& args) {
    for (const headless::Option& o : headless::kOptions) {
        if (o.flag == nullptr || o.record != nullptr || o.planned || std::strcmp(o.keyword, "mayapy") == 0) continue;
        Ref value = py::getattr(args, o.keyword);
        if (value.get() == Py_None || value.get() == Py_False) continue;
        throw UsageError(text(py::format("{} does not apply to plan: each task keeps its journal in the job "
                                         "folder and resumes when run again (run-task --retry-failed "
                                         "converts its failed sources again)",
                                         {o.flag})));
    }
}

}  // namespace

int plan(const Ref& argv) {
    Ref parser = new_parser("plan", "Cut a batch into farm tasks and write its manifest.");
    headless::add_options(parser, true);
    add_argument(parser, "--tasks", {{"type", py::builtin("int")}, {"required", true}, {"metavar", "N"},
                                     {"help", "the number of farm tasks"}});
    add_argument(parser, "--out", {{"required", true}, {"metavar", "JOBDIR"},
                                   {"help", "the job folder to create (shared with the nodes)"}});
    Ref args = parse(parser, argv);
    Py_ssize_t asked = static_cast<Py_ssize_t>(py::as_long(py::getattr(args, "tasks")));
    if (asked < 1) throw UsageError("--tasks must be at least 1");
    refuse_run_options(args);
    headless::BatchArguments given = headless::arguments_from(args, py::none());
    headless::Request request = headless::make_request(given);
    Ref jobdir = absolute(py::getattr(args, "out"));
    if (exists(manifest_path(jobdir))) write_manifest(jobdir, py::none());  // throws: plan exists

    Ref folder = absolute(request.folder);
    Ref sources = headless::batch_sources(folder, request.choices);
    if (py::length(sources) == 0) {
        throw UsageError(text(py::format("no source files in {} of the chosen types", {folder})));
    }
    std::vector<long long> sizes = sizes_of(folder, sources);
    Ref tasks = task_entries(partition(sources, sizes, asked), sizes);
    Ref data = dict({{"manifest", "velmora-farm"},
                     {"version", 1},
                     {"folder", folder},
                     {"choices", headless::choices_dict(request.choices)}});
    // As given: a node's own replaces it (run-task).
    for (const headless::Option& o : headless::kOptions) {
        if (o.planned) py::set_item(data, o.keyword, headless::given_value(given, o));
    }
    // Absolute: the nodes start it from another folder.
    py::set_item(data, "mayapy", request.mayapy ? absolute(request.mayapy) : py::none());
    py::set_item(data, "sources", sources);
    py::set_item(data, "tasks", tasks);
    py::set_item(data, "planned", py::call(py::getattr(module("time"), "time")));
    write_manifest(jobdir, data);
    print_summary(jobdir, sources, tasks, asked);
    return 0;
}

}  // namespace velmora::farm
