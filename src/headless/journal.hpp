// The batch's journal: one JSON document per line, appended, flushed and
// synced to disk before the event it records is reported to anyone.
//
//   line 1, the batch:
//     {"journal": "velmora-batch", "version": 1, "batch": "<hex id>",
//      "identity": "<hex>" (identity.hpp; the batch id too, but not in a
//                           farm task's journal nor before identities),
//      "folder": "<folder as given>",
//      "choices": {<the rows of kOptions (choices.hpp) with a `record`
//                   key, as checked: the window's choices always
//                   ("extensions": [".ma", ...], "outputs": ["mb", ...],
//                   ...), the others only when chosen>},
//      "sources": ["rel/a.ma", ...],          (relative to folder, "/")
//      "notes_publishing": true  (every output noted before it was
//                                 published; absent in older journals)
//      "started": <time.time()>,
//      and only when the listing could not read a folder:
//      "unread": [["rel/sub", "<reason>"], ...]}  (relative to folder, "/")
//   then, in any order, one line per finished source (the last one of a
//   source wins):
//     {"source": <index into sources>, "converted": true|false,
//      "outputs": ["rel/a.mb", ...], "skipped": ["rel/a.fbx", ...],
//                          (relative to the output folder, else to folder)
//      "failure": null | "<reason>"}
//   before the outputs of a source are linked to their names, the files
//   about to be published (a resume finds them by these even when their
//   temporary names are gone; a later record of the source ends it):
//     {"publish": <index into sources>,
//      "files": {"mb": [st_dev, st_ino, st_size, st_mtime_ns], ...}}
//   and run markers:
//     {"run": "start", "time": <t>}   {"run": "end", "time": <t>,
//                                      "interrupted": true|false}
// Text is written with json.dumps (ASCII, so undecodable bytes of a file
// name survive as surrogate escapes). A crash can leave the last line
// unfinished: readers leave it out, and a run that continues the journal
// cuts it before it appends.
#pragma once

#include "host/py.hpp"
#include "host/stdlib.hpp"

namespace velmora::headless {

using py::Ref;

// The journal format this velmora writes; older ones are read, newer ones
// refused.
constexpr long long kJournalVersion = 1;

// What a journal file says: the batch line (a dict), the records by source
// index (dict int -> record dict) and the times of its first start and last
// end (None when it never ended). Raises ValueError with a clear message
// when the file is not a journal (its first line is not a batch line) or
// one of a newer velmora.
// `intents` holds, by source index, the publish lines written after the
// source's last record (a list of dicts, oldest first).
// Later lines that hold no record are passed over; of a line where an
// older version appended a record after an unfinished one, the record is
// read.
struct JournalState {
    Ref batch;
    Ref records;
    Ref started;
    Ref ended;
    Ref intents = py::dict();
};
JournalState read_journal(const Ref& path);

// Where a batch's outputs are: its output folder when it chose one, else
// `folder` (the batch's folder). With the other rules of where outputs go,
// in ledger.cpp.
Ref output_root(const JournalState& state, const Ref& folder);

// The results dict (see run_batch) of a journal's state, with the relative
// paths joined to `folder` (the outputs' to output_root).
Ref results_of(const JournalState& state, const Ref& folder);

}  // namespace velmora::headless
