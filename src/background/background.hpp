// Background batches (registry.hpp says where each one lives): started
// detached from the caller, so that closing or crashing the caller's Maya
// does not stop them; watched, stopped and resumed through their files.
#pragma once

#include "headless/options.hpp"

namespace velmora::background {

using py::Ref;

// Checks the arguments as velmora.batch does (a UsageError before anything
// starts), records the batch and launches its controller; returns its id
// at once. Without a journal named, the batch's journal is in its folder.
Ref start(headless::BatchArguments given);
// Asks a running batch to stop as Ctrl-C does; nothing for one that ended.
void stop(const Ref& id);
// Launches a controller that continues the batch from its journal (failed
// sources again when asked); nothing while one runs.
void resume(const Ref& id, bool failed_again);
// Removes an ended batch from the list (its outputs and a journal named
// by the caller stay); ValueError while it runs.
void forget(const Ref& id);

// The controller of the batch in `folder`, run by the launched mayapy:
// holds the batch's lock, runs it, and leaves its last status. Returns the
// exit status (3 when another controller runs it already).
int run_controller(const Ref& folder);

}  // namespace velmora::background
