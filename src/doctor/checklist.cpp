#include "doctor/checklist.hpp"

namespace velmora::doctor {

namespace checks {
const Check kModule{"velmora",
                    "the batch's workers import velmora the same way and would run that copy; keep one "
                    "installation per Maya (the module folder or the wheel)"};
const Check kStandalone{"maya.standalone", "no batch can run: every worker starts Maya this way"};
const Check kVersions{"versions",
                      "velmora does not rely on these answers, but a Maya that cannot give them is not one "
                      "it was checked against"};
const Check kBatchMode{"batch mode",
                       "workers rely on batch mode and file -prompt false so that no dialog waits for an "
                       "answer; a dialog would hold a worker until --timeout kills it"};
const Check kScene{"scene .ma/.mb",
                   "the .ma and .mb outputs of this Maya would not keep what their sources had; do not trust "
                   "a batch's outputs until this passes"};
const Check kScriptNodes{"script nodes",
                         "a batch cannot keep a scene's code from running in this Maya: its open/close script "
                         "nodes would run (and do what they do to files, the session or the network) whatever "
                         "--scene-scripts says; convert only scenes you trust"};
const Check kPlaybackRange{"playback range",
                           "a batch's outputs of .ma and .mb scenes would not keep their playback range with scene "
                           "scripts off; --scene-scripts run keeps it by running the scenes' code"};
const Check kOutputVerified{"output verified",
                            "a batch refuses such .ma and .mb outputs as not what their sources were and "
                            "publishes none of them; --no-verify would publish them unchecked"};
const Check kFbxPlugin{"fbx plug-in",
                       "every .fbx output and every .fbx source will fail until the plug-in loads (the other "
                       "formats are not affected)"};
const Check kFbxPresets{"fbx presets",
                        "an FBX output whose preset fails is still exported, with the exporter's current "
                        "settings (the batch logs a warning)"};
const Check kFbxExport{"fbx export",
                       "the .fbx outputs of this Maya would fail or not keep their scene's frame rate"};
const Check kFolderWritable{"folder writable", "every output written into this folder will fail"};
const Check kBatchLock{"batch lock",
                       "a batch of this folder's scenes stops before converting anything: it holds this lock "
                       "for its whole life"};
const Check kPublishing{"publishing",
                        "every output written into this folder will fail as 'could not publish': velmora "
                        "never puts an output under its name by replacing a file, and here it cannot link"};
const Check kLetterCase{"letter case", "velmora cannot tell how this folder treats letter case"};
const Check kUserCache{"user cache",
                       "a batch without --journal stops before converting (its journal and workers' logs live "
                       "there); name a journal elsewhere with --journal"};
}  // namespace checks

std::vector<const Check*> checklist(bool with_folder) {
    using namespace checks;
    std::vector<const Check*> list = {&kModule,      &kStandalone,    &kVersions,       &kBatchMode,
                                      &kScene,       &kScriptNodes,   &kPlaybackRange,  &kOutputVerified,
                                      &kFbxPlugin,   &kFbxPresets,    &kFbxExport};
    if (with_folder) list.insert(list.end(), {&kFolderWritable, &kBatchLock, &kPublishing, &kLetterCase});
    list.push_back(&kUserCache);
    return list;
}

const Check* check_named(const Ref& name) {
    if (!PyUnicode_Check(name.get())) return nullptr;
    for (const Check* check : checklist(true)) {
        if (py::equals(name, check->name)) return check;
    }
    return nullptr;
}

Ref finding(const Check& check, bool ok, const Ref& detail, double seconds) {
    Ref rounded = py::call(py::builtin("round"), {seconds, 2});
    return py::dict({{"check", check.name}, {"ok", ok}, {"detail", detail}, {"seconds", rounded}});
}

Ref not_checked(const Check& check, const Ref& why) {
    return py::dict({{"check", check.name}, {"ok", py::none()},
                     {"detail", py::format("not checked: {}", {why})}, {"seconds", 0.0}});
}

Ref failure_detail(const Check& check, const Ref& message) {
    return py::format("{} -- {}", {message, check.consequence});
}

}  // namespace velmora::doctor
