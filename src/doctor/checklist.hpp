// What the doctor checks, in the order it checks it, and what velmora will
// do when a check fails. Both sides read this one table: the checks inside
// mayapy, and the doctor outside, which names the checks a dead or stuck
// mayapy never reported.
#pragma once

#include "host/stdlib.hpp"

#include <vector>

namespace velmora::doctor {

using py::Ref;

struct Check {
    const char* name;
    // What a failure means for a batch, said after Maya's own message.
    const char* consequence;
};

namespace checks {
extern const Check kModule;
extern const Check kStandalone;
extern const Check kVersions;
extern const Check kBatchMode;
extern const Check kScene;
extern const Check kScriptNodes;
extern const Check kPlaybackRange;
extern const Check kOutputVerified;
extern const Check kFbxPlugin;
extern const Check kFbxPresets;
extern const Check kFbxExport;
extern const Check kFolderWritable;
extern const Check kBatchLock;
extern const Check kPublishing;
extern const Check kLetterCase;
extern const Check kUserCache;
}  // namespace checks

// Every check, in order; the share's only when a folder is given.
std::vector<const Check*> checklist(bool with_folder);

// The check of that name (a str), or nullptr.
const Check* check_named(const Ref& name);

// A finding as velmora.doctor() returns it: {"check", "ok", "detail",
// "seconds"}, in that order.
Ref finding(const Check& check, bool ok, const Ref& detail, double seconds);

// The finding of a check that did not run because of an earlier failure:
// "ok" None, so that one cause counts as one failure; the detail says why.
Ref not_checked(const Check& check, const Ref& why);

// "<message> -- <what velmora will do>": a failure's detail.
Ref failure_detail(const Check& check, const Ref& message);

}  // namespace velmora::doctor
