// velmora-batch doctor: whether this machine's Maya, its plug-ins and its
// shares do what velmora relies on, proved by velmora's own code running
// in a real mayapy.
//
// The doctor starts one mayapy that runs the checks (child.cpp) in a
// temporary folder of the doctor's own, reads their findings as they come
// (from a file: nothing Maya prints can break them), stops a mayapy that
// hangs, and removes everything it made. The console gets a line per
// check and a block to paste into an issue.
#pragma once

#include "host/stdlib.hpp"

#include <functional>

namespace velmora::doctor {

using py::Ref;

struct Examination {
    Ref mayapy = py::none();  // None: where a batch finds it
    Ref folder = py::none();  // the share to check too, or None
    double timeout = 600.0;   // seconds one check may take, Maya's start included
};

// The mayapy the doctor runs: `given` (a str), else the one a batch
// would find. Throws headless::UsageError naming the places tried.
Ref locate_mayapy(const Ref& given);

// The examination with its mayapy found and its folder checked (absolute).
// Throws headless::UsageError.
Examination prepared(const Examination& given);

// Runs the checks and returns their findings, a list of dicts {"check",
// "ok", "detail", "seconds"} in the order of the checklist; `seen` gets
// each one as it comes; "ok" is None for a check not run because of an
// earlier failure. No mayapy, one that cannot be run or that runs no check
// at all (what it did is said), or a folder that does not exist:
// headless::UsageError, with the paths tried.
using Seen = std::function<void(const Ref& finding)>;
Ref examine(const Examination& examination, const Seen& seen);

// velmora-batch doctor [--mayapy PATH] [--folder DIR] [--timeout SECONDS]:
// argv the words after "doctor". Returns 0 when every check passed, 1 when
// one failed, 2 for no mayapy or one that ran no check, 130 when
// interrupted.
int doctor_main(const Ref& argv);

// velmora._doctor_checks(argv), inside mayapy: argv is [findings file, work
// folder, share or "", the doctor's velmora binary, examination id].
int doctor_checks(const Ref& argv);

// velmora.doctor and velmora._doctor_checks, for the module body to bind.
PyMethodDef* entry_points();

}  // namespace velmora::doctor
