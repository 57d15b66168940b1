// The headless batch's options: the keyword arguments of velmora.batch and
// the command line of velmora-batch, checked once and turned into a
// Request. Bad input gets one clear line (UsageError) and touches nothing.
#pragma once

#include "headless/batch.hpp"

#include <initializer_list>
#include <stdexcept>
#include <string>

namespace velmora::headless {

// Bad input from the user (a missing folder, an unknown format or preset,
// --jobs 0, no mayapy found). The message is one line, ready to print;
// velmora.batch raises it as ValueError, velmora-batch prints it and
// exits with 2.
struct UsageError : std::runtime_error {
    using std::runtime_error::runtime_error;
};
// Throws UsageError with `message` (a str; what UTF-8 cannot hold is
// escaped).
[[noreturn]] void usage(const Ref& message);

// Adds to an argparse.ArgumentParser the batch options: --sources,
// --outputs, --preset, --no-subdirs, --skip-existing, --jobs, --timeout,
// --mayapy, --journal, --resume, --restart, --retry-failed (and the positional FOLDER
// when `with_folder`).
void add_options(const Ref& parser, bool with_folder);

// The Request that parsed arguments (an argparse.Namespace made by a parser
// with add_options) describe. `folder` overrides the namespace's folder
// when given. Throws UsageError.
Request request_from(const Ref& args, const Ref& folder);

// A batch's arguments as given, before any check: velmora.batch's keywords,
// velmora-batch's options, a farm task's plan. The defaults are
// velmora.batch's.
struct BatchArguments {
    Ref folder;                                    // path-like
    Ref sources = py::tuple({"ma", "mb", "fbx"});  // "ma,mb" or an iterable of "ma", ".MB", ...
    Ref outputs = py::tuple({"ma"});               // as sources
    Ref preset = py::str("Default");
    bool recursive = true;
    bool skip_existing = false;
    Ref jobs = py::none();      // None: by cores and memory
    Ref timeout = py::none();   // seconds, or None
    Ref mayapy = py::none();    // None: find_mayapy's search
    Ref journal = py::none();   // None: in the user's cache, one per folder
    bool resume = false;
    bool restart = false;       // not with resume
    bool retry_failed = false;  // with resume only
    Ref output_folder = py::none();  // path-like, or None: next to the sources
    Ref fbx_version = py::none();    // "FBX" and six digits, or None
    bool fbx_ascii = false;
    Ref include = py::none();        // a pattern or an iterable of them, or None
    Ref exclude = py::none();
    bool dry_run = false;
    Ref progress = py::none();  // a callable or None
};

// The choices as the journal and the farm's plan record them: the pipeline
// choices only when they differ from their defaults, so that what was
// recorded before they existed reads the same.
Ref choices_dict(const Choices& choices);
// The recorded choices (a dict as choices_dict makes) into arguments.
void choices_into(BatchArguments& given, const Ref& choices);

// The arguments of a Python call of `function` (velmora.batch, start_batch)
// whose parameters are `names`, in order, the first ("folder") required:
// given by position or by name, into BatchArguments (the flags by their
// truth). A parameter given twice, missing or unknown is a TypeError, as
// for any Python function.
BatchArguments bind_arguments(const char* function, PyObject* args, PyObject* kwargs,
                              std::initializer_list<const char*> names);

// The Request that checked arguments describe (every bad value is a
// UsageError, checked in the order of the fields).
Request make_request(const BatchArguments& given);

// velmora's folder in the user's cache (journals, background batches):
// $XDG_CACHE_HOME (~/.cache), ~/Library/Caches or %LOCALAPPDATA%, then
// "velmora"; always absolute (a relative or empty setting is passed over,
// as the XDG rules say). Not made here. A UsageError when the user's home
// cannot be told (HOME unset for a user the system does not know).
Ref cache_folder();

// The mayapy to run: `given` (a str, or None), else $MAYA_LOCATION/bin/
// mayapy, else the running interpreter when it is a mayapy (or the mayapy
// beside it when it is an interactive Maya), else the
// standard install locations of Maya 2027 down to 2022 on this platform,
// else mayapy on PATH. Throws UsageError when none exists.
Ref find_mayapy(const Ref& given);
// The places find_mayapy looks at, in its order, when none is given (a
// list of str; mayapy on PATH, its last resort, is not among them).
Ref mayapy_places();


}  // namespace velmora::headless
