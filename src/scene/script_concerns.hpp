// What a script node's text does beyond what Maya's own configuration
// nodes do (lay out panels, set the playback range), for a person reading
// what a scene holds before opening it. A reading aid, not a scanner's
// verdict: MEL and Python can hide anything in a string, and a text with
// no concern is not thereby harmless.
#pragma once

#include <string>
#include <vector>

#include "scene/scene_file.hpp"

namespace velmora::scene {

// Short labels, each once, in a fixed order: "writes files", "imports
// modules", "loads plug-ins", "runs programs", "uses the os module",
// "reaches the network", "evaluates strings", "adds callbacks", "sources
// MEL", "edits user setup", and "not read whole" for a text longer than
// the reader holds (the rest was not looked at).
std::vector<std::string> script_concerns(const ScriptNode& node);

}  // namespace velmora::scene
