// A scene of the doctor's own through velmora's engine, as a batch's worker
// converts one: opened by open_source, written by convert_scene, FBX presets
// applied by apply_fbx_preset. What comes back is opened again and must
// still have the scene's frame rate and playback range.
#include "doctor/checks.hpp"

#include "doctor/scene_front_end.hpp"
#include "host/host.hpp"

namespace velmora::doctor {
namespace {

constexpr const char kUnit[] = "ntsc";
constexpr const char* kPresets[] = {"Default", "Animation", "Models Only"};

// Maya ASCII as Maya writes it: a few nodes, a time unit other than the
// default and the playback range in the scene configuration script node,
// where Maya keeps it. Declared as Maya 2022's, the oldest velmora runs in.
constexpr const char kSourceText[] =
    "//Maya ASCII 2022 scene\n"
    "//Name: doctor.ma\n"
    "requires maya \"2022\";\n"
    "currentUnit -l centimeter -a degree -t ntsc;\n"
    "createNode transform -n \"velmoraDoctor\";\n"
    "createNode transform -n \"velmoraDoctorLocator\" -p \"velmoraDoctor\";\n"
    "createNode locator -n \"velmoraDoctorLocatorShape\" -p \"velmoraDoctorLocator\";\n"
    "createNode script -n \"sceneConfigurationScriptNode\";\n"
    "\tsetAttr \".b\" -type \"string\" \"playbackOptions -min 5 -max 50 -ast 5 -aet 50 \";\n"
    "\tsetAttr \".st\" 6;\n";
constexpr const char kSourceEnd[] = "// End of doctor.ma\n";

Ref write_with_engine(const Ref& source, const char* format, DoctorFrontEnd& front) {
    Ref fps = open_source(source, front);
    return written(convert_scene(source, py::list({format}), fps, front));
}

// The open scene's frame rate and playback range: "ntsc, frames 5-50".
Ref scene_state() {
    auto frame = [](const char* bound) {
        Ref value = host::cmds("playbackOptions", {}, {{"q", true}, {bound, true}});
        return py::call(py::builtin("int"), {value});
    };
    Ref unit = host::cmds("currentUnit", {}, {{"q", true}, {"time", true}});
    return py::format("{}, frames {}-{}", {unit, frame("min"), frame("max")});
}

Ref expected_state() {
    return py::format("{}, frames {}-{}", {kUnit, py::integer(kFirstFrame), py::integer(kLastFrame)});
}

void reopen(const Ref& path) {
    host::cmds("file", {}, {{"new", true}, {"force", true}});
    host::cmds("file", {path}, {{"open", true}, {"force", true}});
}

// Fails unless the open scene is as the doctor wrote it.
void expect_state(const char* what, const Ref& path) {
    Ref found = scene_state();
    Ref expected = expected_state();
    if (py::check_status(PyObject_RichCompareBool(found.get(), expected.get(), Py_EQ)) == 0) {
        fail(py::format("{} {} opens at {}, written at {}",
                        {what, host::os_path("basename", {path}), found, expected}));
    }
}

}  // namespace

// The path convert_scene wrote the one format to, or its error as the
// check's failure.
Ref written(const Ref& results) {
    if (py::length(results) != 1) fail(py::str("velmora's engine wrote nothing"));
    Ref result = py::item(results, 0);
    if (!py::truthy(py::item(result, 1))) {
        fail(py::format("could not write .{}: {}", {py::item(result, 0), py::item(result, 2)}));
    }
    return py::item(result, 2);
}

Ref write_scene(const Ref& work, const char* name, const Ref& extra_nodes) {
    Ref path = host::os_path("join", {work, name});
    Ref file = py::call(py::builtin("open"), {path, "x"}, {{"encoding", "utf-8"}, {"newline", "\n"}});
    py::with(file, [&extra_nodes](const Ref& f) {
        for (const Ref& part : {py::str(kSourceText), extra_nodes, py::str(kSourceEnd)}) {
            py::call_method(f, "write", {part});
        }
    });
    return path;
}

Ref write_source(const Ref& work) { return write_scene(work, "doctor.ma", py::str("")); }

Ref scene_round_trip(const Ref& work, const Ref& source) {
    DoctorFrontEnd front(work, py::str("Default"));
    Ref fps = open_source(source, front);
    if (!py::equals(fps, kUnit)) fail(py::format("doctor.ma opens at {}, written at {}", {fps, kUnit}));
    expect_state("the source", source);
    Ref binary = written(convert_scene(source, py::list({"mb"}), fps, front));
    reopen(binary);
    expect_state("the .mb output", binary);
    Ref ascii = write_with_engine(binary, "ma", front);
    reopen(ascii);
    expect_state("the .ma output", ascii);
    return py::format("opened doctor.ma, wrote .mb from it and .ma from that; both reopen at {}",
                      {expected_state()});
}

Ref fbx_plugin() {
    ensure_fbx_plugin();
    Ref version = host::cmds("pluginInfo", {"fbxmaya"}, {{"q", true}, {"version", true}});
    return py::format("fbxmaya {} loaded", {version});
}

Ref fbx_presets(const Ref& work, const Ref& source) {
    DoctorFrontEnd front(work, py::str("Default"));
    open_source(source, front);
    Ref refused = py::list();
    for (const char* preset : kPresets) {
        front.use_preset(preset);
        front.setup_fbx_export();
        if (std::optional<Ref> trouble = front.trouble()) {
            py::append(refused, py::format("{}: {}", {preset, *trouble}));
        }
    }
    if (py::truthy(refused)) fail(py::call_method(py::str("; "), "join", {refused}));
    return py::str("Default, Animation and Models Only accepted");
}

Ref fbx_export(const Ref& work, const Ref& source) {
    DoctorFrontEnd front(work, py::str("Default"));
    Ref fbx = write_with_engine(source, "fbx", front);
    Ref fps = open_source(fbx, front);
    if (!py::equals(fps, kUnit)) {
        fail(py::format("the .fbx output {} reopens at {}, written at {}",
                        {host::os_path("basename", {fbx}), fps, kUnit}));
    }
    return py::format("exported the scene to FBX; it reopens at {}", {fps});
}

}  // namespace velmora::doctor
