// The render farm: a batch planned once into tasks that any farm manager
// runs, job descriptions for Slurm, Deadline, OpenCue and Open Job
// Description, and one report merged from the tasks' journals.
#pragma once

#include "host/py.hpp"

namespace velmora::farm {

// The subcommands of velmora-batch, each given its arguments without its
// own name. Each returns the exit status (headless/ending.hpp: 0 done, 1
// some file failed or a task is incomplete); bad arguments throw
// headless::UsageError, or end in argparse's SystemExit, before anything
// is touched.
int plan(const py::Ref& argv);
int run_task(const py::Ref& argv);
int report(const py::Ref& argv);
int submit(const py::Ref& argv);

}  // namespace velmora::farm
