// The bodies of the doctor's checks, run inside mayapy (see child.cpp for
// their order). Each returns what it found, a str, or fails (recorder.hpp).
#pragma once

#include "doctor/recorder.hpp"
#include "headless/leftovers.hpp"

#include <optional>

namespace velmora::doctor {

// What the doctor outside handed to the checks.
struct Setting {
    Ref work;      // the doctor's own temporary folder, removed after
    Ref folder;    // the share a batch will write to, or None
    Ref expected;  // the velmora binary the doctor itself runs
    Ref id;        // marks every file this examination makes in the share
};

// maya_checks.cpp
Ref loaded_module(const Setting& setting);
Ref start_maya();
void stop_maya();
Ref versions();
Ref batch_mode();

// scene_checks.cpp: a scene of the doctor's own, through velmora's engine.
Ref write_source(const Ref& work);
Ref scene_round_trip(const Ref& work, const Ref& source);
// script_checks.cpp: the doctor's scenes opened and converted as a batch
// does, with scene scripts off.
Ref script_nodes_off(const Ref& work);
Ref playback_range(const Ref& work, const Ref& source);
Ref output_verified(const Ref& work, const Ref& source);
Ref fbx_plugin();
Ref fbx_presets(const Ref& work, const Ref& source);
Ref fbx_export(const Ref& work, const Ref& source);

// folder_checks.cpp: the share, and the user's cache.
Ref folder_writable(const Setting& setting);
Ref take_batch_lock(const Setting& setting, std::optional<headless::BatchLock>& lock);
Ref publishing(const Setting& setting);
Ref letter_case(const Setting& setting);
Ref user_cache(const Setting& setting);
// Removes the files that carry the examination's mark, in the share and
// the cache: what a failed check, or a mayapy that died, left there.
void remove_marked(const Setting& setting);

}  // namespace velmora::doctor
