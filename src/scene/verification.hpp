// Whether a file Maya wrote still holds what its source held, told from the
// two files' facts alone: the nodes the source creates, its references,
// units, playback range and script nodes. Maya may add nodes on the way; it
// may not lose any. What the readers cannot tell on either side is said as
// not checked, never passed off as checked.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "scene/scene_file.hpp"

namespace velmora::scene {

struct Verdict {
    std::vector<std::string> differences;  // each one fails the output
    std::vector<std::string> notes;        // worth knowing; no failure
    std::vector<std::string> not_checked;  // a part left out, with why
    std::string checked;                   // what was compared, for a verdict with no difference

    bool passed() const { return differences.empty(); }
    // One line: the differences, the first leading with its counts
    // ("3 of 415 nodes missing: ..."), or what was verified.
    std::string reason() const;
};

// A .ma or .mb output against the scene it was made from.
Verdict verify_output(const SceneFacts& source, const SceneFacts& output);

// An FBX output: its header read whole, of the expected file version when
// one is given ("7500").
Verdict verify_fbx(const SceneFacts& output, std::optional<std::string> expected_version);

// The FBX file version an exporter's version choice writes ("FBX201800" ->
// "7500"); empty for a choice not in the table: the version is then not
// checked.
std::optional<std::string> fbx_file_version(std::string_view exporter_choice);

}  // namespace velmora::scene
