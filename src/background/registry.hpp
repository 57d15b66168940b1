// Background batches: batches that start_batch starts in a controller
// process of their own, detached from the caller, and that any process of
// the user can list, stop, resume and forget. Each has a folder in the
// user's cache, and everything about it is in that folder, on disk:
//
//   <cache>/velmora/background/<id>/
//     batch.json      what was asked (the checked arguments), the id, when
//     status.json     how it is doing (headless/status_file.hpp): written
//                     "starting" by whoever launches it, then kept current
//                     by its controller
//     controller.lock held by the controller for its life: a lock that can
//                     be taken means no controller runs
//     stop            present: the controller is asked to stop
//     controller.log  what the controller printed
//     launched.json   the process launched for it, until it holds its lock
//     batch.journal   the journal (unless the caller named another), and
//                     batch.journal.logs, the workers' logs
//
// Nobody talks to a controller: listing reads these files, stopping
// writes one.
#pragma once

#include "host/stdlib.hpp"

#include <optional>

namespace velmora::background {

using py::Ref;

// The folder that holds every background batch's folder (made if need be).
Ref registry_folder();
// A new batch id: its start time and a random part, "20261208-093001-5f3a".
Ref new_batch_id();
// The folder of batch `id`, which must exist: KeyError otherwise.
Ref batch_folder(const Ref& id);
// The folder batch `id` would have.
Ref folder_of(const Ref& id);

// File names in a batch's folder.
Ref batch_file(const Ref& folder);       // batch.json
Ref status_path(const Ref& folder);      // status.json
Ref stop_path(const Ref& folder);        // stop
Ref lock_path(const Ref& folder);        // controller.lock
Ref log_path(const Ref& folder);         // controller.log
Ref launched_path(const Ref& folder);    // launched.json: {"pid": ..., "time": ...}

// batch.json as a dict; None when missing or unreadable.
Ref read_batch(const Ref& folder);
// Writes batch.json in one step.
void write_batch(const Ref& folder, const Ref& batch);

// Whether a controller runs for the batch: it holds the batch's lock, or
// it was launched and has not yet taken it (its process is there).
bool controller_running(const Ref& folder, const Ref& status);

// What batches() says of one batch (see velmora.batches); None when the
// folder is not a batch's.
Ref describe(const Ref& folder);
// Every batch, newest first.
Ref all_batches();

}  // namespace velmora::background
