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
//     launched.json   the process launched for it, until it holds its lock,
//                     and where its output starts in controller.log
//     resume          present: a resume asked while the controller was
//                     stopping; whoever removes it launches the resume
//     summary.json    the journal's results, written by a controller that
//                     ended, with the journal's identity (listing.cpp)
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

// What a batch record of this velmora says in "version"; a higher one is
// from a newer velmora and is never acted on.
constexpr long long kRecordVersion = 1;

// The folder that holds every background batch's folder, made if need be;
// OSError in one line naming it when it cannot be made or used.
Ref registry_folder();
// The same folder, not made: None when it is not there.
Ref existing_registry_folder();
// A new batch id, its start time and a random part ("20261208-093001-5f3a"),
// whose folder this call made: no other batch has it. OSError in one line
// when the folder cannot be made.
Ref claim_batch_id();
// The folder of batch `id`, which must exist: KeyError otherwise.
Ref batch_folder(const Ref& id);
// The folder batch `id` would have.
Ref folder_of(const Ref& id);
Ref join_id(const Ref& registry, const Ref& id);

// File names in a batch's folder.
Ref batch_file(const Ref& folder);       // batch.json
Ref status_path(const Ref& folder);      // status.json
Ref stop_path(const Ref& folder);        // stop
Ref lock_path(const Ref& folder);        // controller.lock
Ref log_path(const Ref& folder);         // controller.log
Ref launched_path(const Ref& folder);    // launched.json: {"pid": ..., "time": ..., "log_from": ...}
Ref resume_path(const Ref& folder);      // resume: what resume_batch was asked, until launched
Ref summary_path(const Ref& folder);     // summary.json

// batch.json as a dict; None when missing or unreadable.
Ref read_batch(const Ref& folder);
// Writes batch.json in one step.
void write_batch(const Ref& folder, const Ref& batch);
// Why a record cannot be listed (or, `to_run`, run) in full, in one line,
// or None: made by a newer velmora, or lacking what no default can stand
// for.
Ref record_problem(const Ref& batch, bool to_run);
// record[key], or `fallback` when the record (from an older velmora, say)
// lacks it.
Ref record_value(const Ref& batch, const char* key, const Ref& fallback);
// The one-line reason of a failure just caught (the indicator is cleared):
// its message, or its class's name when it has none.
Ref one_line(const py::PendingError& failure);

// Whether a controller runs for the batch: it holds the batch's lock, or
// it was launched and has not yet taken it (its process is there).
bool controller_running(const Ref& folder, const Ref& status);

// listing.cpp: what batches() says of one batch (see velmora.batches);
// None when the folder is not a batch's. What did not change on disk
// since the last call in this process is not read again.
Ref describe(const Ref& folder);
// Every batch, newest first.
Ref all_batches();
// Written by a controller that ended: the journal's results, for later
// listings to take instead of the journal while the journal stays as it
// is. Nothing when the journal cannot be read.
void write_summary(const Ref& folder);

}  // namespace velmora::background
