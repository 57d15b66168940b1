// The playback range a scene sets when Maya opens it: the numeric flags of
// the `playbackOptions` command in the scene configuration script node.
#pragma once

#include <optional>
#include <string_view>
#include <vector>

#include "scene/scene_file.hpp"

namespace velmora::scene {

// A decimal number as MEL writes one ([+-]digits[.digits][e[+-]digits]),
// whatever the C locale says.
std::optional<double> mel_number(std::string_view word);

// The range that playbackOptions' arguments set: pairs of a flag (-min,
// -max, -ast, -aet or their long names) and a number. Anything else (another
// flag, a value that is no number) makes it no range: only this form is
// understood as data. A flag left out takes its partner's value, as Maya
// takes -min/-max alone to be the animation range too.
std::optional<Playback> playback_of_flags(const std::vector<std::string_view>& words);

// The range a MEL text (a scene configuration node's) sets: its
// playbackOptions statements read with MEL's rules (strings, comments),
// the last that is understood; nothing of it is run.
std::optional<Playback> playback_from(std::string_view mel);

}  // namespace velmora::scene
