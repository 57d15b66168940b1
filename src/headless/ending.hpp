// How a batch ended, and the one mapping from each ending to what its
// caller sees: the Python exception of velmora.batch and the exit status
// of velmora-batch and its subcommands.
//
//   ending        Python                    exit status
//   Done          (the results)             0
//   FilesLeft     (the results)             1   a file failed or is pending,
//                                               or there was none to convert
//   BatchError    RuntimeError(message)     1   e.g. mayapy does not start
//   Interrupted   KeyboardInterrupt         130
//   BadUsage      ValueError(message)       2   bad arguments; nothing touched
//   Stopped       OSError(message)          3   the system refused the batch
//                                               a file of its own (its journal
//                                               on a full disk, say); what was
//                                               done is kept: resume it once
//                                               that is put right
//
// A folder that the listing could not read counts as a file left: it is
// named in the results ("unread") and the report, and the status is 1.
#pragma once

#include "headless/options.hpp"

namespace velmora::headless {

enum class Ending { Done, FilesLeft, BatchError, Interrupted, BadUsage, Stopped };

// The ending of a results dict (run_batch's, or the farm's merged one,
// which has no "error" or "interrupted"): a batch error first, then an
// interruption, then files failed or pending.
Ending ending_of(const Ref& results);

int exit_status(Ending ending);

// Sets the Python exception of an ending (none for Done and FilesLeft)
// and throws py::PyError; returns for those two.
void raise_for(Ending ending, const Ref& message);

// velmora.batch's answer: the results, or the exception of their ending
// (raised once the journal is closed and the workers are stopped).
Ref results_or_raise(const Ref& results);

// The body's result; a UsageError it throws becomes ValueError.
template <class Body>
Ref usage_as_python(Body&& body);

// A command's last words on a finished batch: the report, the journal,
// the batch error or the interruption (with `to_finish`, how to finish
// the batch), and the exit status.
int command_ending(const Ref& results, const char* to_finish);

// A usage error on the command line: its one line on stderr, and the exit
// status.
int usage_ending(const UsageError& error);

// A command's run of a batch to its end (command_ending): an OSError that
// stops it (velmora.batch raises it) is its one line on stderr and the
// Stopped status, not a traceback.
int command_run(const Request& request, const char* to_finish);

// --- implementation ---------------------------------------------------------

[[noreturn]] void raise_usage(const UsageError& error);

template <class Body>
Ref usage_as_python(Body&& body) {
    try {
        return body();
    } catch (const UsageError& error) {
        raise_usage(error);
    }
}

}  // namespace velmora::headless
