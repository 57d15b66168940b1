// velmora-batch report JOBDIR: the tasks' journals merged into the results
// and statistics report of one batch over the whole plan, with a line for
// every task still missing or failed and the commands that would finish it.
#include "farm/commands.hpp"
#include "farm/manifest.hpp"
#include "headless/ending.hpp"
#include "headless/journal.hpp"

#include <vector>

namespace velmora::farm {
namespace {

// How far one task has come, from its journal.
struct TaskState {
    Py_ssize_t sources = 0;
    Py_ssize_t finished = 0;
    Py_ssize_t failed = 0;
    bool started = false;
    std::optional<Ref> unreadable;  // why its journal could not be read
};

// time values: the smaller (or larger) of two, None standing for "none yet".
Ref pick_time(const Ref& a, const Ref& b, int op) {
    if (a.get() == Py_None) return b;
    if (b.get() == Py_None) return a;
    return py::check_status(PyObject_RichCompareBool(b.get(), a.get(), op)) != 0 ? b : a;
}

class Merger {
public:
    explicit Merger(const Manifest& manifest) : manifest_(manifest) {
        Py_ssize_t i = 0;
        py::for_each(manifest.sources, [&](const Ref& rel) {
            py::check_status(PyDict_SetItem(position_.get(), rel.get(), py::integer(i++).get()));
        });
    }

    // Adds the records of one task's journal, each under its place in the
    // whole plan (a task's journal numbers its own sources from 0).
    TaskState add_task(Py_ssize_t task) {
        TaskState state;
        state.sources = py::length(get(py::item(manifest_.tasks, task), "sources"));
        Ref path = journal_path(manifest_.jobdir, task);
        if (!exists(path)) return state;
        headless::JournalState journal;
        if (auto error = py::guard([&] { journal = headless::read_journal(path); })) {
            state.unreadable = *error;
            return state;
        }
        state.started = true;
        if (auto error = py::guard([&] { add_records(journal, state); })) {
            // A journal of another plan's task, say: named, not merged.
            state.unreadable = *error;
            return state;
        }
        started_ = pick_time(started_, journal.started, Py_LT);
        ended_ = pick_time(ended_, journal.ended, Py_GT);
        return state;
    }

    // One journal's state for the whole plan, as one batch would have left.
    headless::JournalState merged() const {
        Ref batch = dict({{"journal", "velmora-batch"},
                          {"version", 1},
                          {"batch", "farm"},
                          {"folder", manifest_.folder},
                          {"choices", get(manifest_.data, "choices")},
                          {"sources", manifest_.sources},
                          {"started", started_}});
        return headless::JournalState{batch, records_, started_, ended_};
    }

private:
    // All of a journal's records or none: they are gathered apart and
    // merged only once every one has found its place in the plan.
    void add_records(const headless::JournalState& journal, TaskState& state) {
        Ref listed = get(journal.batch, "sources");
        Ref found = py::check(PyDict_New());
        Py_ssize_t failed = 0;
        py::for_each(py::call_method(journal.records, "items"), [&](const Ref& pair) {
            Ref rel = py::item(listed, static_cast<Py_ssize_t>(py::as_long(py::item(pair, 0))));
            Ref record = py::call_method(py::item(pair, 1), "copy");
            Ref place = py::check(PyObject_GetItem(position_.get(), rel.get()));
            py::check_status(PyDict_SetItemString(record.get(), "source", place.get()));
            py::check_status(PyDict_SetItem(found.get(), place.get(), record.get()));
            if (!py::truthy(get(record, "converted"))) ++failed;
        });
        py::check_status(PyDict_Update(records_.get(), found.get()));
        state.finished = py::length(found);
        state.failed = failed;
    }

    const Manifest& manifest_;
    Ref position_ = py::check(PyDict_New());
    Ref records_ = py::check(PyDict_New());
    Ref started_ = py::none();
    Ref ended_ = py::none();
};

bool complete(const TaskState& s) { return !s.unreadable && s.finished >= s.sources; }

Ref task_line(Py_ssize_t index, const TaskState& s) {
    Ref i = py::integer(index);
    if (s.unreadable) return py::format("  task {}: journal unreadable: {}", {i, *s.unreadable});
    if (!s.started) return py::format("  task {}: not started ({} sources)", {i, py::integer(s.sources)});
    if (!complete(s)) {
        return py::format("  task {}: {} of {} sources not finished",
                          {i, py::integer(s.sources - s.finished), py::integer(s.sources)});
    }
    return py::format("  task {}: {} failed", {i, py::integer(s.failed)});
}

// The manager of the job's last submission (submissions.log), or None.
Ref last_farm(const Ref& jobdir) {
    Ref path = join(jobdir, "submissions.log");
    Ref farm = py::none();
    py::swallow([&] {
        py::for_each(py::call_method(read_text(path), "splitlines"), [&](const Ref& line) {
            Ref words = py::call_method(line, "split");
            if (py::length(words) >= 2) farm = py::item(words, 1);
        });
    });
    return farm;
}

// The commands that convert again the sources that failed (once their
// cause is mended: room made, a plug-in installed), task by task.
void print_retries(const Manifest& manifest, const std::vector<TaskState>& states) {
    Ref jobdir = py::call(py::getattr(module("shlex"), "quote"), {manifest.jobdir});
    bool any = false;
    for (std::size_t t = 0; t < states.size(); ++t) {
        if (states[t].failed == 0) continue;
        if (!any) say(py::str("To convert the failed sources again, run:"));
        any = true;
        say(py::format("  velmora-batch run-task {} {} --retry-failed", {jobdir, py::integer(static_cast<long long>(t))}));
    }
}

// The tasks worth a line, and the commands that finish the job. Returns
// whether every task is complete.
bool print_tasks(const Manifest& manifest, const std::vector<TaskState>& states) {
    std::vector<Py_ssize_t> unfinished;
    bool any_line = false;
    for (std::size_t t = 0; t < states.size(); ++t) {
        const TaskState& s = states[t];
        if (complete(s) && s.failed == 0) continue;
        if (!any_line) say(py::str("Tasks:"));
        any_line = true;
        say(task_line(static_cast<Py_ssize_t>(t), s));
        if (!complete(s)) unfinished.push_back(static_cast<Py_ssize_t>(t));
    }
    if (unfinished.empty()) {
        say(py::format("All {} tasks complete.", {py::integer(static_cast<long long>(states.size()))}));
        print_retries(manifest, states);
        return true;
    }
    Ref jobdir = py::call(py::getattr(module("shlex"), "quote"), {manifest.jobdir});
    say(py::str("To finish the job, run:"));
    Ref indices = py::list();
    for (Py_ssize_t t : unfinished) {
        say(py::format("  velmora-batch run-task {} {}", {jobdir, py::integer(t)}));
        py::append(indices, py::call(py::builtin("str"), {py::integer(t)}));
    }
    Ref farm = last_farm(manifest.jobdir);
    say(py::format("or resubmit them: velmora-batch submit --farm {} {} --only {}",
                   {farm.get() != Py_None ? farm : py::str("FARM"), jobdir,
                    py::call_method(py::str(","), "join", {indices})}));
    print_retries(manifest, states);
    return false;
}

// The results as the report shows them: before any task has started no
// time has been spent (results.json keeps the start as null).
Ref shown_times(const Ref& results) {
    if (get(results, "start_time").get() != Py_None) return results;
    Ref shown = py::call_method(results, "copy");
    py::set_item(shown, "start_time", get(results, "end_time"));
    return shown;
}

}  // namespace

int report(const Ref& argv) {
    Ref parser = new_parser("report", "Merge the tasks' journals into one batch report.");
    add_argument(parser, "jobdir", {{"metavar", "JOBDIR"}});
    add_argument(parser, "--folder", {{"help", "the batch folder as this machine sees it"}});
    Ref args = parse(parser, argv);
    Manifest manifest = read_manifest(py::getattr(args, "jobdir"));
    Ref folder = py::getattr(args, "folder");
    if (folder.get() == Py_None) folder = manifest.folder;

    Merger merger(manifest);
    std::vector<TaskState> states;
    for (Py_ssize_t t = 0, n = task_count(manifest); t < n; ++t) states.push_back(merger.add_task(t));
    Ref results = headless::results_of(merger.merged(), folder);
    // The merged results for pipelines, beside the manifest.
    write_text_file(join(manifest.jobdir, "results.json"), to_json(results, true), true);

    say(headless::report_text(shown_times(results)));
    bool all_complete = print_tasks(manifest, states);
    // A task whose journal cannot be read leaves its sources unaccounted.
    return headless::exit_status(all_complete ? headless::ending_of(results) : headless::Ending::FilesLeft);
}

}  // namespace velmora::farm
