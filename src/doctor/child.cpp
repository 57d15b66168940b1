// velmora._doctor_checks: the checks, in order, inside the mayapy the
// doctor started. A check that cannot run because an earlier one failed
// is written down as not checked, with the reason.
#include "doctor/doctor.hpp"

#include "doctor/checks.hpp"
#include "host/host.hpp"

namespace velmora::doctor {
namespace {

using namespace checks;

Setting setting_of(const Ref& argv) {
    Ref folder = py::item(argv, 2);
    return Setting{py::item(argv, 1), py::truthy(folder) ? folder : py::none(), py::item(argv, 3),
                   py::item(argv, 4)};
}

// Maya's prompt off for the checks that open scenes, as a worker has it,
// and put back as it was.
template <class Body>
void without_prompts(Body&& body) {
    std::optional<Ref> was;
    py::guard([&] {
        Ref prompt = host::cmds("file", {}, {{"q", true}, {"prompt", true}});
        host::cmds("file", {}, {{"prompt", false}});
        was = prompt;
    });
    py::finally(body, [&] {
        if (was) py::guard([&] { host::cmds("file", {}, {{"prompt", *was}}); });
    });
}

void fbx_checks(Recorder& recorder, const Setting& setting, const Ref& source) {
    if (!recorder.run(kFbxPlugin, fbx_plugin)) {
        for (const Check* check : {&kFbxPresets, &kFbxExport}) {
            recorder.not_checked(*check, py::str("the FBX plug-in did not load"));
        }
        return;
    }
    recorder.run(kFbxPresets, [&] { return fbx_presets(setting.work, source); });
    recorder.run(kFbxExport, [&] { return fbx_export(setting.work, source); });
}

void scene_checks(Recorder& recorder, const Setting& setting) {
    Ref source;
    recorder.run(kScene, [&] {
        source = write_source(setting.work);
        return scene_round_trip(setting.work, source);
    });
    recorder.run(kScriptNodes, [&] { return script_nodes_off(setting.work); });
    if (!source) {
        for (const Check* check : {&kPlaybackRange, &kOutputVerified, &kFbxPlugin, &kFbxPresets, &kFbxExport}) {
            recorder.not_checked(*check, py::str("the doctor could not write its scene"));
        }
        return;
    }
    recorder.run(kPlaybackRange, [&] { return playback_range(setting.work, source); });
    recorder.run(kOutputVerified, [&] { return output_verified(setting.work, source); });
    fbx_checks(recorder, setting, source);
}

void maya_checks(Recorder& recorder, const Setting& setting) {
    recorder.run(kVersions, versions);
    recorder.run(kBatchMode, batch_mode);
    without_prompts([&] { scene_checks(recorder, setting); });
}

void share_checks(Recorder& recorder, const Setting& setting) {
    recorder.run(kFolderWritable, [&] { return folder_writable(setting); });
    std::optional<headless::BatchLock> lock;
    py::finally(
        [&] {
            recorder.run(kBatchLock, [&] { return take_batch_lock(setting, lock); });
            recorder.run(kPublishing, [&] { return publishing(setting); });
            recorder.run(kLetterCase, [&] { return letter_case(setting); });
        },
        [&] {
            if (lock) lock->release();
            remove_marked(setting);  // a lock file whose lock could not be taken, say
        });
}

}  // namespace

int doctor_checks(const Ref& argv) {
    Setting setting = setting_of(argv);
    Recorder recorder(py::item(argv, 0));
    recorder.run(kModule, [&] { return loaded_module(setting); });
    if (recorder.run(kStandalone, start_maya)) {
        py::finally([&] { maya_checks(recorder, setting); }, stop_maya);
    } else {
        for (const Check* check : {&kVersions, &kBatchMode, &kScene, &kScriptNodes, &kPlaybackRange,
                                   &kOutputVerified, &kFbxPlugin, &kFbxPresets, &kFbxExport}) {
            recorder.not_checked(*check, py::str("Maya did not start"));
        }
    }
    if (setting.folder.get() != Py_None) share_checks(recorder, setting);
    recorder.run(kUserCache, [&] { return user_cache(setting); });
    return 0;
}

}  // namespace velmora::doctor
