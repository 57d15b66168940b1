// velmora-batch run-task JOBDIR INDEX: converts one task's sources with the
// headless batch, journaled inside JOBDIR, resuming when run again.
#include "farm/commands.hpp"
#include "farm/manifest.hpp"
#include "headless/ending.hpp"
#include "headless/file_lock.hpp"

namespace velmora::farm {
namespace {

// Where farm managers put the index of an array task. Deadline and Open Job
// Description pass it on the command line instead.
constexpr const char* kIndexVariables[] = {
    "VELMORA_TASK_INDEX",         // set by hand or by a wrapper
    "SLURM_ARRAY_TASK_ID",        // Slurm job arrays
    "CUE_IFRAME",                 // OpenCue's frame number
    "AWS_BATCH_JOB_ARRAY_INDEX",  // AWS Batch array jobs
    "PBS_ARRAY_INDEX",            // PBS Pro job arrays
};

Py_ssize_t parse_index(const Ref& text_, const char* where) {
    Ref value;
    if (py::guard([&] { value = py::call(py::builtin("int"), {text_}); })) {
        throw UsageError(text(py::format("INDEX must be a task number or auto, not {!r}{}", {text_, where})));
    }
    return static_cast<Py_ssize_t>(py::as_long(value));
}

Py_ssize_t index_from_environment() {
    Ref variables = py::getattr(module("os"), "environ");
    for (const char* name : kIndexVariables) {
        Ref value = get(variables, name);
        if (value.get() != Py_None) {
            return parse_index(value, text(py::format(" (from {})", {name})).c_str());
        }
    }
    throw UsageError("INDEX auto: none of VELMORA_TASK_INDEX, SLURM_ARRAY_TASK_ID, CUE_IFRAME, "
                     "AWS_BATCH_JOB_ARRAY_INDEX, PBS_ARRAY_INDEX is set");
}

Py_ssize_t task_index(const Ref& given) {
    if (py::equals(given, "auto")) return index_from_environment();
    return parse_index(given, "");
}

// The processors the farm manager gave this task, or None: Slurm says so
// in SLURM_CPUS_PER_TASK (set with --cpus-per-task), else in
// SLURM_CPUS_ON_NODE; Deadline's CPU affinity and a worker host confined
// to some processors (as Open Job Description's workers may be) show as
// the processors this process may run on, when fewer than the machine's.
Ref allocated_processors() {
    Ref variables = py::getattr(module("os"), "environ");
    for (const char* name : {"SLURM_CPUS_PER_TASK", "SLURM_CPUS_ON_NODE"}) {
        Ref value = get(variables, name);
        if (value.get() == Py_None) continue;
        Ref count;
        if (py::guard([&] { count = py::call(py::builtin("int"), {value}); }) || py::as_long(count) < 1) {
            throw UsageError(text(py::format("{}={!r} is not a number of processors; give --jobs", {
                                                 py::str(name), value})));
        }
        return count;
    }
    Ref count = py::none();
    Ref affinity = py::call(py::builtin("getattr"), {module("os"), "sched_getaffinity", py::none()});  // not on Windows or macOS
    if (affinity.get() == Py_None) return count;
    py::swallow([&] {
        Ref usable = py::integer(py::length(py::call(affinity, {py::integer(0)})));
        Ref cores = py::call(py::getattr(module("os"), "cpu_count"));
        if (cores.get() != Py_None && py::as_long(usable) < py::as_long(cores)) count = usable;
    });
    return count;
}

// The planned value unless this node gives its own (run-task's options
// are named as the batch's).
Ref node_or_plan(const Ref& args, const Manifest& manifest, const char* name) {
    Ref given = py::getattr(args, name);
    return given.get() != Py_None ? given : get(manifest.data, name);
}

// The headless Request for the task. The plan's choices and this node's
// --jobs, --timeout and --mayapy (else the plan's) go through the checks a
// user's options go through, with the same messages: a damaged or
// hand-edited plan is refused in one line, and defaults such as the number
// of workers come from this node.
headless::Request request_for(const Manifest& manifest, const Ref& args, const Ref& folder,
                              Py_ssize_t index, const Ref& sources) {
    Ref choices = get(manifest.data, "choices");
    headless::BatchArguments given;
    given.folder = folder;
    headless::choices_into(given, choices);
    for (const headless::Option& o : headless::kOptions) {
        if (o.planned) headless::set_given(given, o, node_or_plan(args, manifest, o.keyword));
    }
    if (given.jobs.get() == Py_None) given.jobs = allocated_processors();
    given.mayapy = py::getattr(args, "mayapy");
    Ref planned_mayapy = get(manifest.data, "mayapy");
    // The planner's mayapy when this node has it at the same place; else
    // the node finds its own.
    if (given.mayapy.get() == Py_None && planned_mayapy.get() != Py_None && exists(planned_mayapy)) {
        given.mayapy = planned_mayapy;
    }
    given.journal = journal_path(manifest.jobdir, index);
    given.resume = exists(given.journal);
    // Only a journal's failures can be tried again; a task never run has none.
    given.retry_failed = given.resume && py::truthy(py::getattr(args, "retry_failed"));
    headless::Request request = headless::make_request(given);
    request.identity = py::none();  // the task's own lock says it runs (lock_task)
    request.listed = sources;
    request.console = true;
    return request;
}

// An exclusive lock on the task while it runs: a farm that starts a task
// again while the first run still goes on (a requeue, a user by hand) gets
// a clear refusal instead of two controllers on one journal. The lock goes
// with the process, so a killed task leaves none behind; it is the same
// kind of lock as a batch's (NFS and SMB honour it), on every platform.
std::optional<headless::FileLock> lock_task(const Ref& journal) {
    headless::FileLock lock;
    Ref path = py::format("{}.lock", {journal});
    if (lock.take(path, headless::FileLock::Kind::Exclusive, true) != headless::FileLock::Outcome::Held) {
        return std::nullopt;
    }
    return lock;
}

}  // namespace

int run_task(const Ref& argv) {
    Ref parser = new_parser("run-task", "Convert one task of a planned farm job.");
    add_argument(parser, "jobdir", {{"metavar", "JOBDIR"}});
    add_argument(parser, "index", {{"metavar", "INDEX"}, {"help", "the task number (from 0), or auto"}});
    add_argument(parser, "--folder", {{"help", "the batch folder as this node sees it"}});
    add_argument(parser, "--jobs", {{"type", py::builtin("int")}, {"help", "workers on this node"}});
    add_argument(parser, "--timeout", {{"type", py::builtin("float")}, {"help", "seconds one file may take"}});
    add_argument(parser, "--mayapy", {{"help", "the mayapy of this node"}});
    add_argument(parser, "--retry-failed", {{"action", "store_true"},
                                            {"help", "convert the task's failed sources again"}});
    Ref args = parse(parser, argv);

    Manifest manifest = read_manifest(py::getattr(args, "jobdir"));
    Py_ssize_t index = task_index(py::getattr(args, "index"));
    Ref sources = task_sources(manifest, index);
    Ref folder = py::getattr(args, "folder");
    if (folder.get() == Py_None) folder = manifest.folder;
    if (!py::truthy(py::call(py::getattr(py::getattr(module("os"), "path"), "isdir"), {folder}))) {
        throw UsageError(text(py::format("the batch folder {} is not there on this node "
                                         "(give --folder as this node mounts it)", {folder})));
    }
    headless::Request request = request_for(manifest, args, folder, index, sources);

    std::optional<headless::FileLock> lock = lock_task(request.journal);
    if (!lock) {
        warn(py::format("velmora-batch: task {} of {} is running already (its lock is held)",
                        {py::integer(index), manifest.jobdir}));
        return 1;
    }
    say(py::format("velmora-batch: task {} of {}: {} sources from {}{}",
                   {py::integer(index), py::integer(task_count(manifest)),
                    py::integer(py::length(sources)), folder, request.resume ? " (resuming)" : ""}));
    return headless::command_run(request, "run the task again to finish it");
}

}  // namespace velmora::farm
