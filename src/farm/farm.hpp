// The render farm: a batch planned once into tasks that any farm manager
// runs, job descriptions for Slurm, Deadline, OpenCue and Open Job
// Description, and one report merged from the tasks' journals.
#pragma once

#include "host/py.hpp"

namespace velmora::farm {

// `velmora-batch plan|run-task|report|submit ...`: argv is a list of str
// without the program name, its first item the command. Returns the exit
// status: 0 done, 1 some file failed or a task is incomplete, 2 bad
// arguments (one clear line on stderr; nothing touched).
int main(const py::Ref& argv);

}  // namespace velmora::farm
