// The headless batch's options (declared in choices.hpp): the keyword
// arguments of velmora.batch and the command line of velmora-batch, checked
// once and turned into a Request. Bad input gets one clear line (UsageError) and touches nothing.
#pragma once

#include "headless/batch.hpp"
#include "headless/choices.hpp"

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

// Adds to an argparse.ArgumentParser the batch's options, one per row of
// kOptions that has a command-line spelling (and the positional FOLDER
// when `with_folder`).
void add_options(const Ref& parser, bool with_folder);

// Adds to a parser only the options that choose a folder's sources (as
// `velmora-batch inspect` takes them), and the choices they give.
void add_listing_options(const Ref& parser);
Choices listing_choices(const Ref& args);

// The arguments that parsed arguments (an argparse.Namespace made by a
// parser with add_options) give. `folder` overrides the namespace's folder
// when given.
BatchArguments arguments_from(const Ref& args, const Ref& folder);
// The Request they describe. Throws UsageError.
Request request_from(const Ref& args, const Ref& folder);

// The arguments of a Python call of `function` (velmora.batch, start_batch)
// whose parameters are folder (required) and the options `taker` takes, in
// their places: given by position or by name, into BatchArguments (the
// flags by their truth). A parameter given twice, missing or unknown is a
// TypeError, as for any Python function.
BatchArguments bind_arguments(const char* function, PyObject* args, PyObject* kwargs, Taker taker);
// "function(folder, sources=('ma', 'mb', 'fbx'), ...)": the signature of
// such a function, for its docstring.
std::string signature(const char* function, Taker taker);

// A row's default, and its value in arguments or in checked choices.
Ref default_of(const Option& option);
Ref given_value(const BatchArguments& given, const Option& option);
void set_given(BatchArguments& given, const Option& option, const Ref& value);
Ref chosen_value(const Choices& choices, const Option& option);

// The given choices checked, in the order of the rows.
Choices checked_choices(const BatchArguments& given);

// The choices as the journal, the farm's plan and a background record keep
// them: by their `record` keys, the pipeline's choices only when they
// differ from their defaults, so that what was recorded before they
// existed reads the same.
Ref choices_dict(const Choices& choices);
// Recorded choices (a dict as choices_dict makes) into arguments; a choice
// the dict lacks keeps its default.
void choices_into(BatchArguments& given, const Ref& choices);

// The choices the worker acts on, as its job carries them (by keyword),
// and back.
Ref worker_choices(const Choices& choices);
Choices worker_choices_of(const Ref& job);

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
