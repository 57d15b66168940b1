// The headless batch: a controller that lists (or is given) the sources,
// hands them one at a time to long-lived mayapy workers, publishes what
// they write, journals every finished source and reports progress.
#pragma once

#include "headless/choices.hpp"
#include "host/py.hpp"

#include <optional>

namespace velmora::headless {

using py::Ref;

struct Request {
    Ref folder;                  // str: the batch folder
    Choices choices;
    // A fixed list of sources, as paths relative to `folder` with "/" as the
    // separator (a planned farm task). Empty: the folder is listed.
    std::optional<Ref> listed;
    int jobs = 1;                // workers, >= 1
    bool jobs_chosen = false;    // set by the user (else lowered to what memory holds)
    std::optional<double> timeout;  // seconds one file may take
    Ref mayapy;                  // str: the resolved mayapy executable
    Ref journal;                 // str: the journal's path
    // The batch's identity (identity.hpp), which names its lock of life;
    // None for a farm task, which its job folder and index name instead.
    Ref identity = py::none();
    bool resume = false;
    bool restart = false;        // an interrupted batch's journal kept aside, the batch started over
    bool retry_failed = false;   // with resume: failed sources are converted again
    bool dry_run = false;        // the names a run would write, and nothing else
    Ref progress;                // a callable receiving event dicts, or None
    bool console = false;        // the live line / periodic lines on stdout
    // For a batch watched from other processes (a background batch): its
    // status file (status_file.hpp), kept current while it runs, and a
    // file whose appearance asks it to stop as Ctrl-C does. Null: none.
    Ref status_file;
    Ref stop_file;
    // What the checks of the choices changed, said once when the batch
    // starts (a list of str).
    Ref notices = py::list();
};

// The sources of a batch, as paths relative to `folder` with "/": the
// window's selection and order, less the temporary files of batches at
// work. A folder that cannot be read is named on stderr (list_batch in
// ledger.hpp gives them instead).
Ref batch_sources(const Ref& folder, const Choices& choices);

// Runs the batch to its end (or to an interruption, which is re-raised
// after the journal is closed and the workers are stopped). Returns the
// results dict of the whole batch, over every run of its journal:
//   total (int), converted (int), failed (list of (source, reason)),
//   skipped (list of output paths), outputs (list of written paths),
//   pending (list of sources not finished), unread (list of (folder,
//   reason): folders the listing could not read, their scenes unknown),
//   notes (list of (source, [str]): script nodes not run, parts of an
//   output not verified),
//   start_time, end_time (float), journal (str), logs (str: the folder of
//   the workers' logs). A journal that cannot be written stops the batch
//   with an OSError that says so in one line (what was done is kept).
// Paths in the results are full paths: folder joined with the relative ones.
Ref run_batch(const Request& request);

// The statistics report of a results dict: the same text, line for line,
// that the window's statistics report shows for a batch with those counts
// (its Start and End from start_time and end_time), but for a failed
// source named by its path in the results' folder (when they have one),
// then the folders that could not be read, when there are.
Ref report_text(const Ref& results);

}  // namespace velmora::headless
