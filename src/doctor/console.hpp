// The doctor's command: its lines on the console.
#pragma once

#include "doctor/checklist.hpp"

namespace velmora::doctor {

// The first line: which mayapy is examined.
void print_start(const Ref& mayapy);
// A check's line, as its finding comes.
void print_finding(const Ref& finding);
// The count and the block to paste into an issue; returns the exit status
// (0 when every check passed, else 1). A check not run because of an
// earlier failure is counted apart: one cause is one failure.
int print_ending(const Ref& findings, const Ref& mayapy);

}  // namespace velmora::doctor
