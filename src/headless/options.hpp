// The headless batch's options: the keyword arguments of velmora.batch and
// the command line of velmora-batch, checked once and turned into a
// Request. Bad input gets one clear line (UsageError) and touches nothing.
#pragma once

#include "headless/batch.hpp"

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

// Adds to an argparse.ArgumentParser the batch options: --sources,
// --outputs, --preset, --no-subdirs, --skip-existing, --jobs, --timeout,
// --mayapy, --journal, --resume (and the positional FOLDER when
// `with_folder`).
void add_options(const Ref& parser, bool with_folder);

// The Request that parsed arguments (an argparse.Namespace made by a parser
// with add_options) describe. `folder` overrides the namespace's folder
// when given. Throws UsageError.
Request request_from(const Ref& args, const Ref& folder);

// The Request of velmora.batch's arguments (the same checks).
Request make_request(const Ref& folder, const Ref& sources, const Ref& outputs, const Ref& preset,
                     bool recursive, bool skip_existing, const Ref& jobs, const Ref& timeout,
                     const Ref& mayapy, const Ref& journal, bool resume, const Ref& progress);

// The mayapy to run: `given` (a str, or None), else $MAYA_LOCATION/bin/
// mayapy, else the running interpreter when it is a mayapy, else the
// standard install locations of Maya 2027 down to 2022 on this platform,
// else mayapy on PATH. Throws UsageError when none exists.
Ref find_mayapy(const Ref& given);

}  // namespace velmora::headless
