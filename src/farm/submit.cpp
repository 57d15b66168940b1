// velmora-batch submit --farm slurm|deadline|opencue|openjd JOBDIR: writes
// the manager's job description into JOBDIR and, when the manager's own
// command is on the PATH, submits it and prints the job's id.
#include "farm/commands.hpp"
#include "farm/descriptions.hpp"
#include "farm/manifest.hpp"
#include "host/host.hpp"

#include <algorithm>

namespace velmora::farm {
namespace {

// What a node runs by default: the plan's mayapy, importing this module
// from where it is loaded now (PYTHONPATH in the job's environment).
constexpr const char kBootstrap[] =
    "import sys, velmora; sys.exit(velmora.batch_main(sys.argv[1:]))";

// A farm manager: its description and how its command submits it.
struct Farm {
    const char* name;
    Description (*describe)(const JobSpec&);
    // The submitting command's argv for the written files (their full
    // paths, in the description's order), when `program` is on the PATH;
    // None when this manager has none here. `submits` false: the command
    // found only checks the files.
    Ref (*submission)(const Ref& paths, bool& submits);
    const char* job_id_pattern;  // a regex whose group 1 is the job's id
    const char* by_hand;         // how to submit it without velmora
};

Ref which(const char* program) { return py::call(py::getattr(module("shutil"), "which"), {program}); }

Ref slurm_submission(const Ref& paths, bool& /*submits*/) {
    Ref sbatch = which("sbatch");
    if (sbatch.get() == Py_None) return sbatch;
    return py::list({sbatch, "--parsable", py::item(paths, 0)});
}

Ref deadline_submission(const Ref& paths, bool& /*submits*/) {
    Ref program = which("deadlinecommand");
    if (program.get() == Py_None) return program;
    return py::list({program, py::item(paths, 0), py::item(paths, 1)});
}

Ref opencue_submission(const Ref& paths, bool& /*submits*/) {
    Ref program = which("cuerun");
    if (program.get() == Py_None) return program;
    return py::list({program, py::item(paths, 0)});
}

// Deadline Cloud's client submits the folder of the template as a job
// bundle; the openjd command alone has no farm to submit to, so it only
// checks the template.
Ref openjd_submission(const Ref& paths, bool& submits) {
    Ref template_path = py::item(paths, 0);
    Ref deadline = which("deadline");
    if (deadline.get() != Py_None) {
        Ref bundle = py::call(py::getattr(py::getattr(module("os"), "path"), "dirname"), {template_path});
        return py::list({deadline, "bundle", "submit", "--yes", bundle});
    }
    Ref openjd = which("openjd");
    if (openjd.get() == Py_None) return openjd;
    submits = false;
    return py::list({openjd, "check", template_path});
}

constexpr Farm kFarms[] = {
    {"slurm", slurm_description, slurm_submission, "^([0-9]+)", "sbatch slurm/job.sbatch"},
    {"deadline", deadline_description, deadline_submission, "JobID=(\\S+)",
     "deadlinecommand deadline/job_info.job deadline/plugin_info.job"},
    {"opencue", opencue_description, opencue_submission, "(?m)^.*?([0-9a-f]{8}-[0-9a-f-]{27,})",
     "cuerun opencue/job.outline"},
    {"openjd", openjd_description, openjd_submission, "(job-[0-9a-f]+)",
     "deadline bundle submit openjd (Deadline Cloud), or openjd run --step Convert openjd/template.json"},
};

const Farm& farm_named(const Ref& name) {
    for (const Farm& farm : kFarms) {
        if (py::equals(name, farm.name)) return farm;
    }
    throw UsageError(text(py::format("unknown farm {!r}", {name})));
}

// Every task's limit: its share of files per worker, each allowed the
// batch's timeout, plus room for the workers' start-up and replacements.
std::optional<long long> task_seconds(const Manifest& manifest) {
    Ref timeout = get(manifest.data, "timeout");
    if (timeout.get() == Py_None) return std::nullopt;
    Ref jobs_value = get(manifest.data, "jobs");
    long long jobs = jobs_value.get() == Py_None ? 1 : std::max(1LL, py::as_long(py::call(py::builtin("int"), {jobs_value})));
    long long largest = 0;
    py::for_each(manifest.tasks, [&](const Ref& task) {
        largest = std::max<long long>(largest, py::length(get(task, "sources")));
    });
    constexpr long long kStartupMargin = 600;
    double per_file = PyFloat_AsDouble(timeout.get());
    if (per_file == -1.0 && PyErr_Occurred() != nullptr) throw py::PyError{};
    long long rounds = (largest + jobs - 1) / jobs;
    return static_cast<long long>(static_cast<double>(rounds) * per_file) + kStartupMargin;
}

Ref module_folder() {
    return py::call(py::getattr(py::getattr(module("os"), "path"), "dirname"),
                    {absolute(host::global("__file__"))});
}

// --only "2,0": the tasks to resubmit, checked against the plan, in
// ascending order, each once.
Ref only_tasks(const Manifest& manifest, const Ref& given) {
    if (given.get() == Py_None) return given;
    Ref chosen = py::check(PySet_New(nullptr));
    py::for_each(py::call_method(given, "split", {","}), [&](const Ref& part) {
        Ref number;
        if (py::guard([&] { number = py::call(py::builtin("int"), {part}); })) {
            throw UsageError(text(py::format("--only takes task numbers such as 1,3, not {!r}", {given})));
        }
        long long index = py::as_long(number);
        if (index < 0 || index >= task_count(manifest)) {
            throw UsageError(text(py::format("task {} is not in the plan (tasks 0 to {})",
                                             {number, py::integer(task_count(manifest) - 1)})));
        }
        py::check_status(PySet_Add(chosen.get(), number.get()));
    });
    Ref words = py::call(py::builtin("map"), {py::builtin("str"), py::call(py::builtin("sorted"), {chosen})});
    return py::call_method(py::str(","), "join", {words});
}

// "velmora-<folder>", in the characters every manager takes in a name
// (a space would end an #SBATCH line's value).
Ref default_name(const Manifest& manifest) {
    Ref base = py::call(py::getattr(py::getattr(module("os"), "path"), "basename"),
                        {py::call_method(manifest.folder, "rstrip", {"/\\"})});
    Ref plain = py::call(py::getattr(module("re"), "sub"), {"[^A-Za-z0-9._-]+", "_", base});
    return py::format("velmora-{}", {plain});
}

// What else a node would import from `folder`: the entries that are not
// velmora's own (a wheel's site-packages holds pip and whatever else the
// submitter installed there; a Maya module's platform folder holds only
// velmora).
Ref other_packages(const Ref& folder) {
    Ref others = py::list();
    Ref os_path = py::getattr(module("os"), "path");
    py::for_each(py::call(py::builtin("sorted"), {py::call(py::getattr(module("os"), "listdir"), {folder})}),
                 [&](const Ref& name) {
        Ref lower = py::call_method(name, "lower");
        if (py::truthy(py::call_method(lower, "startswith", {"velmora"})) || py::equals(name, "__pycache__")) return;
        Ref path = join(folder, name);
        bool package = py::truthy(py::call(py::getattr(os_path, "isfile"), {join(path, "__init__.py")}));
        bool importable = py::truthy(py::call_method(
            lower, "endswith", {py::tuple({".py", ".pyc", ".so", ".pyd", ".pth", ".egg", ".zip"})}));
        if (package || importable) py::append(others, name);
    });
    return others;
}

// A file system's id (st_dev) of a path, or None when it cannot be read.
Ref device_of(const Ref& path) {
    Ref device = py::none();
    py::guard([&] { device = py::getattr(py::call(py::getattr(module("os"), "stat"), {path}), "st_dev"); });
    return device;
}

// The folder the nodes import velmora from: the one it is loaded from
// here, when it holds velmora alone and lies on the share the nodes see
// (the job folder's or the batch folder's file system).
Ref node_module_folder(const Manifest& manifest) {
    Ref folder = module_folder();
    Ref others = other_packages(folder);
    if (py::truthy(others)) {
        Ref shown = py::call_method(py::str(", "), "join", {py::check(PySequence_GetSlice(others.get(), 0, 5))});
        throw UsageError(text(py::format(
            "velmora is loaded from {}, which holds other packages too ({}{}): the nodes would import them "
            "as well; give --command (the velmora-batch command on the nodes), or submit with velmora's Maya "
            "module folder on the share",
            {folder, shown, py::length(others) > 5 ? ", ..." : ""})));
    }
    Ref device = device_of(folder);
    auto same = [&device](const Ref& other) {
        return py::check_status(PyObject_RichCompareBool(device.get(), device_of(other).get(), Py_EQ)) == 1;
    };
    if (device.get() == Py_None || (!same(manifest.jobdir) && !same(manifest.folder))) {
        throw UsageError(text(py::format(
            "velmora is loaded from {}, which is not on the share of the job folder or the batch folder: "
            "the nodes could not import it; install velmora's Maya module folder on the share, or give "
            "--command (the velmora-batch command on the nodes)",
            {folder})));
    }
    return folder;
}

// The nodes' command: the user's words, or the plan's mayapy running this
// module's farm entry with the module's folder on PYTHONPATH (that folder
// only: nothing of this machine's own environment).
void set_command(JobSpec& job, const Manifest& manifest, const Ref& given) {
    job.environment = py::check(PyDict_New());
    if (given.get() != Py_None) {
        job.command = py::call(py::getattr(module("shlex"), "split"), {given});
        if (!py::truthy(job.command)) throw UsageError("--command is empty");
        return;
    }
    Ref mayapy = get(manifest.data, "mayapy");
    if (mayapy.get() == Py_None) {
        throw UsageError("the plan names no mayapy; give --command (the velmora-batch command on the nodes)");
    }
    job.command = py::list({mayapy, "-c", kBootstrap});
    py::check_status(PyDict_SetItemString(job.environment.get(), "PYTHONPATH", node_module_folder(manifest).get()));
}

JobSpec job_spec(const Manifest& manifest, const Ref& args) {
    JobSpec job;
    job.jobdir = manifest.jobdir;
    job.tasks = task_count(manifest);
    job.only = only_tasks(manifest, py::getattr(args, "only"));
    job.task_seconds = task_seconds(manifest);
    Ref jobs = get(manifest.data, "jobs");
    if (jobs.get() != Py_None) job.workers = py::as_long(py::call(py::builtin("int"), {jobs}));
    job.name = py::getattr(args, "name");
    if (job.name.get() == Py_None) job.name = default_name(manifest);
    set_command(job, manifest, py::getattr(args, "command"));
    return job;
}

Ref write_description(const Manifest& manifest, const Description& files) {
    Ref paths = py::list();
    Ref makedirs = py::getattr(module("os"), "makedirs");
    Ref dirname = py::getattr(py::getattr(module("os"), "path"), "dirname");
    for (const DescriptionFile& file : files) {
        Ref path = join(manifest.jobdir, file.name);
        py::call(makedirs, {py::call(dirname, {path})}, {{"exist_ok", true}});
        write_text_file(path, file.text, true);
        py::append(paths, path);
        say(py::format("wrote {}", {path}));
    }
    return paths;
}

// Exit status of a submit that submitted nothing (the files are written):
// automation must not take the job for submitted.
constexpr int kNotSubmitted = 1;

// Runs the manager's command; prints the job's id (or its whole answer
// when no id is found in it). Returns the exit status of submit.
int run_submission(const Farm& farm, const Ref& argv, const Ref& jobdir, bool submits) {
    Ref subprocess = module("subprocess");
    Ref done = py::call(py::getattr(subprocess, "run"), {argv},
                        {{"stdout", py::getattr(subprocess, "PIPE")},
                         {"stderr", py::getattr(subprocess, "PIPE")},
                         {"universal_newlines", true}});
    Ref out = py::getattr(done, "stdout");
    if (py::as_long(py::getattr(done, "returncode")) != 0) {
        warn(py::format("velmora-batch: {} failed (exit {}):\n{}{}",
                        {py::item(argv, 0), py::getattr(done, "returncode"), out, py::getattr(done, "stderr")}));
        return kNotSubmitted;
    }
    if (!submits) {
        say(py::format("{} checked it:\n{}", {py::item(argv, 0), py::call_method(out, "strip")}));
        warn(py::format("velmora-batch: not submitted: no farm's command to submit to on the PATH; in {}: {}",
                        {jobdir, farm.by_hand}));
        return kNotSubmitted;
    }
    Ref found = py::call(py::getattr(module("re"), "search"), {farm.job_id_pattern, out});
    if (found.get() == Py_None) {
        say(py::format("{} accepted it:\n{}", {py::item(argv, 0), py::call_method(out, "strip")}));
        return 0;
    }
    Ref id = py::call_method(found, "group", {1});
    say(py::format("submitted to {}: job {}", {farm.name, id}));
    say(py::format("follow it with: velmora-batch report {}",
                   {py::call(py::getattr(module("shlex"), "quote"), {jobdir})}));
    // A record of what was sent, for the person who resubmits a task later.
    Ref line = py::format("{} {} {}\n", {py::call(py::getattr(module("time"), "time")), farm.name, id});
    Ref log = py::call(py::builtin("open"), {join(jobdir, "submissions.log"), "a"}, {{"encoding", "utf-8"}});
    py::with(log, [&](const Ref& f) { py::call_method(f, "write", {line}); });
    return 0;
}

}  // namespace

int submit(const Ref& argv) {
    Ref parser = new_parser("submit", "Write a farm manager's job description and submit it.");
    add_argument(parser, "--farm", {{"required", true},
                                    {"choices", py::list({"slurm", "deadline", "opencue", "openjd"})}});
    add_argument(parser, "jobdir", {{"metavar", "JOBDIR"}});
    add_argument(parser, "--dry-run", {{"action", "store_true"}, {"help", "write the description only"}});
    add_argument(parser, "--name", {{"help", "the job's name on the farm"}});
    add_argument(parser, "--only", {{"metavar", "TASKS"},
                                    {"help", "only these tasks, e.g. 1,3 (to resubmit what report names)"}});
    add_argument(parser, "--command", {{"help", "the velmora-batch command on the nodes, as shell words "
                                                "(default: the plan's mayapy with this module)"}});
    Ref args = parse(parser, argv);
    const Farm& farm = farm_named(py::getattr(args, "farm"));
    Manifest manifest = read_manifest(py::getattr(args, "jobdir"));
    Ref paths = write_description(manifest, farm.describe(job_spec(manifest, args)));
    if (py::truthy(py::getattr(args, "dry_run"))) return 0;
    bool submits = true;
    Ref submission = farm.submission(paths, submits);
    if (submission.get() == Py_None) {
        say(py::format("{}'s command is not on the PATH; in {}: {}", {farm.name, manifest.jobdir, farm.by_hand}));
        warn(py::str("velmora-batch: not submitted (the files are written)"));
        return kNotSubmitted;
    }
    return run_submission(farm, submission, manifest.jobdir, submits);
}

}  // namespace velmora::farm
