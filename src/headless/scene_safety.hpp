// What a worker does about a scene's code and about what Maya wrote, from
// velmora's own reading of the files (scene/):
//
// - with scene scripts off, a .ma whose top level holds commands other
//   than those Maya writes into scene files is not opened (a .ma is MEL,
//   run statement by statement), the scene is opened with its script
//   nodes off, and its playback range is put back from the scene
//   configuration node's text, read as data;
// - each .ma or .mb output is read back and compared with the source, and
//   each FBX output's header checked, before it counts as written;
// - what was not run or not verified is said in the source's notes.
#pragma once

#include "headless/choices.hpp"
#include "scene/scene_file.hpp"

#include <optional>

namespace velmora::headless {

class SceneSafety {
public:
    // Reads `source` (a str path) as velmora reads scenes. `exporter_version`:
    // the FBX exporter's version choice ("FBX201800"), or None.
    SceneSafety(const Ref& source, const Choices& choices, const Ref& exporter_version);

    bool run_scripts() const { return run_scripts_; }
    // Why the source is not opened, or nothing.
    std::optional<Ref> refusal() const;
    // Right after the open: the range put back when the scripts did not
    // run; for an FBX source, what Maya opened taken as what its outputs
    // must hold.
    void opened();
    // An output written at `path`: a reason when it is not what its source
    // was (and it must not be published), else nothing.
    std::optional<Ref> check(const Ref& format, const Ref& path);
    // Whether the scene's own code ran and may have left something in
    // Maya that outlives it (a callback cannot be listed, so cannot be
    // removed): its worker is then replaced before the next file.
    bool may_leave_code_behind() const;
    // What is worth saying of the source (a list of str).
    const Ref& notes() const { return notes_; }

private:
    void note(const Ref& text);
    void note_scripts_not_run();
    void note_verdict(const Ref& format, const std::vector<std::string>& lines, const char* kind);

    Ref source_;
    bool run_scripts_;
    bool verify_;
    Ref exporter_version_;                 // the FBX exporter's version choice, or None
    std::optional<scene::SceneFacts> facts_;  // the source as read; empty when it could not be
    Ref unread_;                           // why it could not be (a str), or null
    Ref notes_ = py::list();
};

}  // namespace velmora::headless
