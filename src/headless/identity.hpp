// What a batch is, and what may be done with it.
//
// A batch is one thing with one identity: the real path of its folder and
// the choices that change what it writes (its output folder, by real path,
// among them). The identity names the batch's default journal and its
// lock of life, so that whatever names the folder (a symlink, a relative
// path, another working directory) finds the same batch.
//
// The journal at a path is in one of these states, and each decides what a
// run may do with it:
//   missing       a run starts it; --resume has nothing to resume
//   not ours      (not a journal, a folder, another batch's, a newer
//                 velmora's) refused in one line: nothing is written over
//   interrupted   (sources not finished) --resume finishes it; --restart
//                 keeps it aside and starts over; a plain run is refused
//   finished      --resume reports it (or retries its failures); a plain
//                 run keeps it aside and starts a new batch
// "Kept aside" is a rename to a name of its own, its end time in it; no
// journal is ever overwritten.
//
// A batch is alive while its controller holds its lock of life,
// ".velmora-<identity>.lock" in its output folder, exclusively: a second
// run of the same batch, on this machine or another writing into the same
// folder, is refused while the first runs.
#pragma once

#include "headless/batch.hpp"
#include "headless/journal.hpp"
#include "headless/leftovers.hpp"

#include <optional>

namespace velmora::headless {

// The identity of a batch of `folder` with `choices`: 16 hex digits.
Ref identity_of(const Ref& folder, const Choices& choices);

// Where a batch keeps its journal when none is named: the user's cache,
// one journal per identity.
Ref default_journal(const Ref& identity);
// Where a batch of `folder` kept its journal before batches had an
// identity (one per folder): found by --resume when the new one is not.
Ref journal_of_folder(const Ref& folder);

// The journal a run of `request` continues (when resuming) or starts,
// after the checks above; moves a finished (or, with restart, interrupted)
// journal aside. Returns its state when the run continues it. Throws
// UsageError for every refusal.
std::optional<JournalState> claim_journal(const Request& request);

// Holds the batch's lock of life for as long as it lives (see above).
// Throws UsageError when the batch runs already.
BatchLock hold_life(const Ref& output_root, const Ref& identity);

}  // namespace velmora::headless
