// The plan of a farm job: a manifest file in the job folder that fixes the
// batch's sources once (relative to the batch folder, "/" separators) and
// cuts them into tasks. Every later step (run-task, report, submit) reads
// it and nothing else about the batch.
//
//   JOBDIR/manifest.json:
//     {"manifest": "velmora-farm", "version": 1,
//      "folder": "<the batch folder where it was planned>",
//      "choices": {<as in the journal's batch line>},
//      "jobs": <int or null>, "timeout": <seconds or null>,
//      "mayapy": "<path or null>",
//      "sources": ["rel/a.ma", ...],           (the window's order)
//      "tasks": [{"sources": [<indices into sources>], "bytes": <int>}, ...],
//      "planned": <time.time()>}
//   JOBDIR/tasks/task-NNNN.journal   one headless journal per task
//   JOBDIR/logs/                     the farm manager's logs of the tasks
#pragma once

#include "farm/support.hpp"
#include "headless/batch.hpp"

namespace velmora::farm {

struct Manifest {
    Ref jobdir;    // absolute
    Ref data;      // the manifest's dict, as read
    Ref folder;    // str
    Ref sources;   // list of str
    Ref tasks;     // list of dicts
};

Ref manifest_path(const Ref& jobdir);
Ref journal_path(const Ref& jobdir, Py_ssize_t task);
Ref logs_folder(const Ref& jobdir);

// The choices are recorded as the journal's batch line records them
// (headless::choices_dict).

// Writes the manifest; fails (UsageError) when JOBDIR already holds one, so
// that a second plan never replaces the sources of tasks already run.
void write_manifest(const Ref& jobdir, const Ref& data);

// Reads and checks JOBDIR's manifest. UsageError when there is none or it
// is not a plan.
Manifest read_manifest(const Ref& jobdir);

Py_ssize_t task_count(const Manifest& manifest);
// The task's sources, relative paths in the window's order. UsageError for
// an index outside the plan.
Ref task_sources(const Manifest& manifest, Py_ssize_t task);

}  // namespace velmora::farm
