// The job descriptions of the four farm managers. Each runs the plan's N
// tasks as `run-task JOBDIR <index>` with the manager's own index token, a
// per-task time limit when the batch has a timeout, and leaves retries to
// the manager.
#pragma once

#include "farm/support.hpp"

#include <optional>
#include <vector>

namespace velmora::farm {

struct JobSpec {
    Ref name;         // str: the job's name on the farm
    Ref jobdir;       // str: absolute
    Py_ssize_t tasks = 0;       // in the plan
    Ref only;                   // str "1,3": the tasks to run when not all; or None
    Ref command;      // list of str: runs velmora-batch on a node
    Ref environment;  // dict of str: set for every task
    std::optional<long long> task_seconds;  // the per-task time limit
    std::optional<long long> workers;       // mayapy workers per task, when the plan fixes them
};

// A file of a description, its name relative to JOBDIR.
struct DescriptionFile {
    Ref name;
    Ref text;
};
using Description = std::vector<DescriptionFile>;

// The command line of one task, the index given by `index_token`.
Ref task_command(const JobSpec& job, const char* index_token);

// The indices to run: "0-(N-1)" ("0" for a single task), or `only`.
Ref index_range(const JobSpec& job);

// Minutes of a limit in seconds, rounded up.
long long minutes_of(long long seconds);

Description slurm_description(const JobSpec& job);      // slurm/job.sbatch
Description deadline_description(const JobSpec& job);   // deadline/job_info.job, plugin_info.job
Description opencue_description(const JobSpec& job);    // opencue/job.outline
Description openjd_description(const JobSpec& job);     // openjd/template.json

}  // namespace velmora::farm
