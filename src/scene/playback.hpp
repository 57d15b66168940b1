// The playback range a scene sets when Maya opens it: the numeric flags of
// the `playbackOptions` command in the scene configuration script node.
#pragma once

#include <optional>
#include <string_view>

#include "scene/scene_file.hpp"

namespace velmora::scene {

// From a MEL text holding `playbackOptions -min 1 -max 120 -ast 1 -aet 200`
// (short or long flag names, in any order, other flags skipped). Empty when
// the text has no such command or it lacks one of the four values: a range
// with a value made up would be worse than none.
std::optional<Playback> playback_from(std::string_view mel);

}  // namespace velmora::scene
