#include "farm/manifest.hpp"

namespace velmora::farm {

Ref manifest_path(const Ref& jobdir) { return join(jobdir, "manifest.json"); }

Ref journal_path(const Ref& jobdir, Py_ssize_t task) {
    return join(join(jobdir, "tasks"), py::format("task-{:04d}.journal", {py::integer(task)}));
}

Ref logs_folder(const Ref& jobdir) { return join(jobdir, "logs"); }


void write_manifest(const Ref& jobdir, const Ref& data) {
    Ref path = manifest_path(jobdir);
    if (exists(path)) {
        throw UsageError(text(py::format(
            "{} already holds a plan; plan into a new folder (its tasks may have run)", {jobdir})));
    }
    Ref makedirs = py::getattr(module("os"), "makedirs");
    // A folder that cannot be made, or a plan written meanwhile by another
    // planner (the link does not replace it), is one clear line too.
    if (auto error = py::guard([&] {
            py::call(makedirs, {join(jobdir, "tasks")}, {{"exist_ok", true}});
            py::call(makedirs, {logs_folder(jobdir)}, {{"exist_ok", true}});
            write_text_file(path, to_json(data, true), false);
        })) {
        throw UsageError(text(py::format("cannot write the plan into {}: {}", {jobdir, *error})));
    }
}

namespace {

[[noreturn]] void not_a_plan(const Ref& jobdir, const char* why) {
    throw UsageError(text(py::format("{}: not a velmora farm plan ({})", {jobdir, why})));
}

// The part of a manifest every command relies on, checked once so that a
// damaged file gets one clear line instead of a traceback halfway through.
void check_shape(const Ref& jobdir, const Ref& data) {
    if (!PyDict_Check(data.get())) not_a_plan(jobdir, "manifest.json is not an object");
    if (!py::equals(get(data, "manifest"), "velmora-farm")) not_a_plan(jobdir, "no manifest mark");
    Ref version = get(data, "version");
    if (!PyLong_Check(version.get()) || py::as_long(version) != 1) {
        not_a_plan(jobdir, "unknown manifest version");
    }
    Ref sources = get(data, "sources");
    Ref tasks = get(data, "tasks");
    if (!PyList_Check(sources.get()) || !PyList_Check(tasks.get()) ||
        !PyUnicode_Check(get(data, "folder").get()) || !PyDict_Check(get(data, "choices").get())) {
        not_a_plan(jobdir, "folder, choices, sources or tasks missing");
    }
    const Py_ssize_t count = py::length(sources);
    py::for_each(tasks, [&](const Ref& task) {
        Ref indices = PyDict_Check(task.get()) ? get(task, "sources") : py::none();
        if (!PyList_Check(indices.get())) not_a_plan(jobdir, "a task without sources");
        py::for_each(indices, [&](const Ref& index) {
            if (!PyLong_Check(index.get())) not_a_plan(jobdir, "a source index is not a number");
            long long i = py::as_long(index);
            if (i < 0 || i >= count) not_a_plan(jobdir, "a source index out of range");
        });
    });
    // Their values are checked as a user's options are, by the task.
    Ref choices = get(data, "choices");
    if (!PyList_Check(get(choices, "extensions").get()) || !PyList_Check(get(choices, "outputs").get())) {
        not_a_plan(jobdir, "the choices lack the source types or the output formats");
    }
}

}  // namespace

Manifest read_manifest(const Ref& given) {
    Ref jobdir = py::call(py::getattr(py::getattr(module("os"), "path"), "abspath"), {given});
    Ref path = manifest_path(jobdir);
    if (!exists(path)) {
        throw UsageError(text(py::format("{}: no manifest.json (plan the job first: "
                                         "velmora-batch plan FOLDER --tasks N --out {})",
                                         {given, given})));
    }
    Ref data;
    if (auto error = py::guard([&] { data = py::json_parse(read_text(path)); })) {
        throw UsageError(text(py::format("{}: cannot read manifest.json: {}", {given, *error})));
    }
    check_shape(given, data);
    return Manifest{jobdir, data, get(data, "folder"), get(data, "sources"), get(data, "tasks")};
}

Py_ssize_t task_count(const Manifest& manifest) { return py::length(manifest.tasks); }

Ref task_sources(const Manifest& manifest, Py_ssize_t task) {
    if (task < 0 || task >= task_count(manifest)) {
        throw UsageError(text(py::format("task {} is not in the plan (tasks 0 to {})",
                                         {py::integer(task), py::integer(task_count(manifest) - 1)})));
    }
    Ref result = py::list();
    py::for_each(get(py::item(manifest.tasks, task), "sources"), [&](const Ref& index) {
        py::append(result, py::item(manifest.sources, static_cast<Py_ssize_t>(py::as_long(index))));
    });
    return result;
}

}  // namespace velmora::farm
