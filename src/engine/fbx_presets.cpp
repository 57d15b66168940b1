// The FBX exporter's options for the preset chosen in the main window.
#include "engine/front_end.hpp"

namespace velmora {
namespace {

// The command with the playback bound truncated toward zero, the way the
// interpreter's int() does it (0.5 -> 0, -2.5 -> -2), in plain decimal.
Ref bake_bound(const char* command_template, const char* bound) {
    Ref frame = host::cmds("playbackOptions", {}, {{"q", true}, {bound, true}});
    return py::format(command_template, {py::call(py::builtin("int"), {frame})});
}

void apply_preset(const Ref& preset) {
    ensure_fbx_plugin();
    if (py::equals(preset, "Animation")) {
        host::mel_eval("FBXExportBakeComplexAnimation -v true");
        host::mel_eval(bake_bound("FBXExportBakeComplexStart -v {}", "min"));
        host::mel_eval(bake_bound("FBXExportBakeComplexEnd -v {}", "max"));
        host::mel_eval("FBXExportAnimationOnly -v true");
    } else if (py::equals(preset, "Models Only")) {
        host::mel_eval("FBXExportAnimationOnly -v false");
        host::mel_eval("FBXExportBakeComplexAnimation -v false");
    }
}

}  // namespace

void ensure_fbx_plugin() {
    if (!py::truthy(host::cmds("pluginInfo", {"fbxmaya"}, {{"q", true}, {"loaded", true}}))) {
        host::cmds("loadPlugin", {"fbxmaya"});
    }
}

void apply_fbx_preset(const Ref& preset, FrontEnd& front) {
    std::optional<Ref> error = py::guard([&] { apply_preset(preset); });
    if (error) front.log(py::format("  Warning: FBX settings - {}", {*error}));
}

void setup_fbx_export(PyObject* self) {
    // Outside the guard: a menu that cannot be read fails this output as a
    // whole rather than exporting with whatever options Maya holds.
    Ref preset = host::cmds("optionMenu", {attr(self, "fbx_preset")}, {{"q", true}, {"v", true}});
    WindowFrontEnd front(self);
    apply_fbx_preset(preset, front);
}

}  // namespace velmora
