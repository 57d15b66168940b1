#include "farm/descriptions.hpp"

namespace velmora::farm {
namespace {

Ref lines_text(const Ref& lines) {
    return py::format("{}\n", {py::call_method(py::str("\n"), "join", {lines})});
}

Ref shell_quote(const Ref& word) { return py::call(py::getattr(module("shlex"), "quote"), {word}); }

Ref concat(const Ref& a, const Ref& b) { return py::check(PyNumber_Add(a.get(), b.get())); }

bool contains(const Ref& text, const char* part) {
    return py::check_status(PySequence_Contains(text.get(), py::str(part).get())) == 1;
}

// A word no quoting of `format` can carry is refused before any file is
// written, in the user's words.
void refuse_if(bool cannot, const Ref& word, const char* format, const char* why) {
    if (cannot) throw UsageError(text(py::format("{!r} cannot go into {}: {}", {word, format, why})));
}

// A line-based format (a shell script, key=value files): no line break
// in any value.
Ref one_line(const Ref& word, const char* format) {
    refuse_if(contains(word, "\n") || contains(word, "\r"), word, format, "it holds a line break");
    return word;
}

// An #SBATCH option's value as sbatch reads it: where a space, a quote
// or a # would end or change it, in double quotes with " and \ escaped by
// a backslash; in a file name pattern `%` is doubled (`suffix`, a pattern
// of its own, follows as is). A backslash in a file name pattern turns its
// %A/%a off, so it is refused there.
Ref sbatch_value(const Ref& word, bool pattern, const char* suffix = "") {
    one_line(word, "an #SBATCH line");
    Ref escaped = word;
    if (pattern) {
        refuse_if(contains(word, "\\"), word, "an #SBATCH file name", "a backslash turns its %A and %a off");
        escaped = py::call_method(escaped, "replace", {"%", "%%"});
    }
    Ref plain = py::call(py::getattr(module("re"), "fullmatch"), {"[^\\s\"'#\\\\]*", escaped});
    if (plain.get() != Py_None) return py::format("{}{}", {escaped, suffix});
    escaped = py::call_method(py::call_method(escaped, "replace", {"\\", "\\\\"}), "replace", {"\"", "\\\""});
    return py::format("\"{}{}\"", {escaped, suffix});
}

// Every word of the command and environment, checked for a format.
void check_words(const JobSpec& job, const char* format) {
    py::for_each(job.command, [&](const Ref& w) { one_line(w, format); });
    one_line(job.jobdir, format);
    one_line(job.name, format);
    py::for_each(py::call_method(job.environment, "values"), [&](const Ref& v) { one_line(v, format); });
}

// Each environment item as a (name, value) pair, in the dict's order.
template <class Body>
void for_each_variable(const JobSpec& job, Body&& body) {
    py::for_each(py::call_method(job.environment, "items"),
                 [&](const Ref& pair) { body(py::item(pair, 0), py::item(pair, 1)); });
}

}  // namespace

Ref task_command(const JobSpec& job, const char* index_token) {
    return concat(job.command, py::list({"run-task", job.jobdir, index_token}));
}

Ref index_range(const JobSpec& job) {
    if (job.only && job.only.get() != Py_None) return job.only;
    if (job.tasks == 1) return py::str("0");
    return py::format("0-{}", {py::integer(job.tasks - 1)});
}

long long minutes_of(long long seconds) { return (seconds + 59) / 60; }

// --- Slurm: an sbatch script of a job array ---------------------------------

namespace {

// The task's command for sh: every word quoted, the index from the array.
Ref slurm_exec_line(const JobSpec& job) {
    Ref words = py::list({"exec"});
    py::for_each(job.command, [&](const Ref& w) { py::append(words, shell_quote(w)); });
    py::append(words, "run-task");
    py::append(words, shell_quote(job.jobdir));
    py::append(words, "\"$SLURM_ARRAY_TASK_ID\"");
    return py::call_method(py::str(" "), "join", {words});
}

}  // namespace

Description slurm_description(const JobSpec& job) {
    check_words(job, "a shell script");
    Ref logs = join(job.jobdir, "logs");
    Ref lines = py::list({
        "#!/bin/sh",
        py::format("# velmora farm job: array element N runs task N of the plan in {}.", {job.jobdir}),
        "# Written by `velmora-batch submit --farm slurm`; submit with `sbatch job.sbatch`.",
        py::format("#SBATCH --job-name={}", {sbatch_value(job.name, false)}),
        py::format("#SBATCH --array={}", {index_range(job)}),
        py::format("#SBATCH --output={}", {sbatch_value(join(logs, "slurm-"), true, "%A_%a.out")}),
        "#SBATCH --open-mode=append",
    });
    if (job.task_seconds) {
        py::append(lines, py::format("#SBATCH --time={}", {py::integer(minutes_of(*job.task_seconds))}));
    }
    // A core for each mayapy worker, so that the node is not oversubscribed.
    if (job.workers) {
        py::append(lines, py::format("#SBATCH --cpus-per-task={}", {py::integer(*job.workers)}));
    }
    for_each_variable(job, [&](const Ref& name, const Ref& value) {
        // Prepended, so that what the node already has stays reachable.
        py::append(lines, py::format("export {}={}\"${{{}:+:${}}}\"", {name, shell_quote(value), name, name}));
    });
    py::append(lines, slurm_exec_line(job));
    return {{py::str("slurm/job.sbatch"), lines_text(lines)}};
}

// --- Deadline: job info and plugin info for the CommandLine plugin ---------

Description deadline_description(const JobSpec& job) {
    check_words(job, "a Deadline job file");
    Ref info = py::list({
        "Plugin=CommandLine",
        py::format("Name={}", {job.name}),
        py::format("Comment=velmora batch: {} tasks of run-task {}", {py::integer(job.tasks), job.jobdir}),
        py::format("Frames={}", {index_range(job)}),
        "ChunkSize=1",
    });
    if (job.task_seconds) {
        py::append(info, py::format("TaskTimeoutMinutes={}", {py::integer(minutes_of(*job.task_seconds))}));
        py::append(info, "OnTaskTimeout=Error");
    }
    int n = 0;
    for_each_variable(job, [&](const Ref& name, const Ref& value) {
        py::append(info, py::format("EnvironmentKeyValue{}={}={}", {n++, name, value}));
    });
    // The executable apart, the arguments as one command line (Windows
    // quoting, which the plugin's process start understands on every OS).
    Ref command = task_command(job, "<STARTFRAME>");
    Ref arguments = py::check(PySequence_GetSlice(command.get(), 1, py::length(command)));
    Ref plugin = py::list({
        py::format("Executable={}", {py::item(command, 0)}),
        py::format("Arguments={}", {py::call(py::getattr(module("subprocess"), "list2cmdline"), {arguments})}),
        "ShellExecute=False",
        "StartupDirectory=",
    });
    return {{py::str("deadline/job_info.job"), lines_text(info)},
            {py::str("deadline/plugin_info.job"), lines_text(plugin)}};
}

// --- OpenCue: an outline script with one shell layer ------------------------

Description opencue_description(const JobSpec& job) {
    Ref repr = py::builtin("repr");
    Ref lines = py::list({
        py::format("# velmora farm job for OpenCue: frame N of the layer runs task N of the plan in {}.",
                   {job.jobdir}),
        "# Written by `velmora-batch submit --farm opencue`; launch with `cuerun job.outline`.",
        "from outline.modules.shell import Shell",
        "",
        "layer = Shell(",
        "    \"convert\",",
        py::format("    command={},", {py::call(repr, {task_command(job, "#IFRAME#")})}),
        py::format("    range={},", {py::call(repr, {index_range(job)})}),
        "    chunk=1,",
    });
    if (job.task_seconds) {
        py::append(lines, py::format("    timeout={},", {py::integer(minutes_of(*job.task_seconds))}));
    }
    py::append(lines, ")");
    for_each_variable(job, [&](const Ref& name, const Ref& value) {
        py::append(lines, py::format("layer.set_env({}, {})", {py::call(repr, {name}), py::call(repr, {value})}));
    });
    return {{py::str("opencue/job.outline"), lines_text(lines)}};
}

// --- Open Job Description: a job template, jobtemplate-2023-09 --------------

// Open Job Description reads {{ ... }} in every string of the command as
// a format string, and has no escape for it.
void check_openjd(const JobSpec& job) {
    auto check = [](const Ref& w) {
        refuse_if(contains(w, "{{"), w, "an Open Job Description template", "{{ begins a format string there");
    };
    py::for_each(job.command, check);
    check(job.jobdir);
    py::for_each(py::call_method(job.environment, "values"), check);
}

Description openjd_description(const JobSpec& job) {
    check_openjd(job);
    Ref on_run = dict({{"command", py::item(job.command, 0)},
                       {"args", py::check(PySequence_GetSlice(
                                    task_command(job, "{{Task.Param.Index}}").get(), 1,
                                    py::length(job.command) + 3))}});
    if (job.task_seconds) {
        py::check_status(PyDict_SetItemString(on_run.get(), "timeout", py::integer(*job.task_seconds).get()));
    }
    Ref step = dict({{"name", "Convert"},
                     {"parameterSpace",
                      dict({{"taskParameterDefinitions",
                             py::list({dict({{"name", "Index"}, {"type", "INT"}, {"range", index_range(job)}})})}})},
                     {"script", dict({{"actions", dict({{"onRun", on_run}})}})}});
    if (job.workers) {
        Ref vcpus = dict({{"name", "amount.worker.vcpu"}, {"min", py::integer(*job.workers)}});
        py::check_status(PyDict_SetItemString(step.get(), "hostRequirements",
                                              dict({{"amounts", py::list({vcpus})}}).get()));
    }
    if (py::truthy(job.environment)) {
        py::check_status(PyDict_SetItemString(
            step.get(), "stepEnvironments",
            py::list({dict({{"name", "VelmoraModule"}, {"variables", job.environment}})}).get()));
    }
    Ref templ = dict({{"specificationVersion", "jobtemplate-2023-09"},
                      {"name", job.name},
                      {"description", py::format("velmora batch: {} tasks of run-task {}",
                                                 {py::integer(job.tasks), job.jobdir})},
                      {"steps", py::list({step})}});
    return {{py::str("openjd/template.json"), py::format("{}\n", {to_json(templ, true)})}};
}

}  // namespace velmora::farm
