// The launcher at the top of the batches window: the main window's
// choices, the number of Maya processes and a time limit per file, and
// the button that starts a batch in the background.
#include "background/batches_window.hpp"

#include "host/callback.hpp"
#include "host/host.hpp"
#include "ui/commands.hpp"

namespace velmora::background::window {
namespace {

using ui::Command;

constexpr const char* kTypes[3] = {"ma", "mb", "fbx"};
constexpr const char* kTypeLabels[3] = {".ma", ".mb", ".fbx"};

Ref make(const Command& command) { return ui::run(command); }
void up() { host::cmds("setParent", {".."}); }

void heading(const char* label) {
    make({"text", {}, {{"label", label}, {"align", "left"}, {"font", "boldLabelFont"}}});
}

// A frame as the main window draws its groups.
void frame() { make({"frameLayout", {}, {{"lv", false}, {"mw", 3}, {"mh", 2}}}); }

Ref check(const char* label, bool value) { return make({"checkBox", {}, {{"label", label}, {"v", value}}}); }

bool checked(const Ref& box) { return py::truthy(host::cmds("checkBox", {box}, {{"q", true}, {"v", true}})); }

// A labelled whole number on one line (checked when the batch starts).
Ref number_field(const char* label) {
    make({"rowLayout", {}, {{"nc", 2}, {"cw2", py::tuple({320, 60})}, {"adj", 1}}});
    make({"text", {}, {{"label", label}, {"align", "left"}}});
    Ref field = make({"intField", {}, {{"v", 0}, {"w", 60}}});
    up();
    return field;
}

// Three check boxes side by side, one per scene format.
void type_row(Ref (&boxes)[3], bool ma, bool mb, bool fbx) {
    make({"rowLayout", {}, {{"nc", 3}, {"cw3", py::tuple({70, 70, 70})}}});
    const bool values[3] = {ma, mb, fbx};
    for (int i = 0; i < 3; ++i) boxes[i] = check(kTypeLabels[i], values[i]);
    up();
}

Ref chosen_types(const Ref (&boxes)[3]) {
    Ref types = py::list();
    for (int i = 0; i < 3; ++i) {
        if (checked(boxes[i])) py::append(types, kTypes[i]);
    }
    return types;
}

// 0 in the field means "not set"; anything else goes to start_batch's
// checks, which refuse it in the command's words.
Ref value_or_none(const Ref& field) {
    Ref value = host::cmds("intField", {field}, {{"q", true}, {"v", true}});
    return py::as_long(value) != 0 ? value : py::none();
}

Ref start_from_launcher(const Window& w) {
    const Launcher& l = w->launcher;
    // Spaces around a typed or pasted path are not seen in the field.
    Ref folder = py::call_method(host::cmds("textField", {l.folder}, {{"q", true}, {"text", true}}), "strip");
    return py::call(host::global("start_batch"), {folder},
                    {{"sources", chosen_types(l.sources)},
                     {"outputs", chosen_types(l.outputs)},
                     {"preset", host::cmds("optionMenu", {l.preset}, {{"q", true}, {"v", true}})},
                     {"recursive", py::boolean(checked(l.recursive))},
                     {"skip_existing", py::boolean(checked(l.skip_existing))},
                     {"jobs", value_or_none(l.jobs)},
                     {"timeout", value_or_none(l.timeout)}});
}

// The button's command: bad input (ValueError) or a launch that failed is
// told in a dialog; nothing starts then.
Ref start_command(const Window& w) {
    return host::make_callback(
        [w] {
            Ref id;
            std::optional<Ref> failure = py::guard([&] { id = start_from_launcher(w); });
            if (failure) {
                tell(py::format("The batch was not started: {}", {*failure}));
                return py::none();
            }
            watch(w, id, "starting");
            queue_refresh(w);
            return py::none();
        },
        1);
}

Ref browse_command(const Window& w) {
    return host::make_callback(
        [w] {
            Ref chosen = host::cmds("fileDialog2", {}, {{"fm", 3}, {"cap", "Select Source Folder"}});
            if (py::truthy(chosen)) {
                host::cmds("textField", {w->launcher.folder}, {{"e", true}, {"text", py::item(chosen, 0)}});
            }
            return py::none();
        },
        1);
}

void build_folder(const Window& w) {
    heading("Source Folder:");
    make({"rowLayout", {}, {{"nc", 2}, {"cw2", py::tuple({345, 55})}, {"adj", 1},
                            {"cat", py::list({py::tuple({1, "both", 1}), py::tuple({2, "both", 1})})}}});
    w->launcher.folder = make({"textField", {}, {{"pht", "Select or type a folder..."}}});
    make({"button", {}, {{"label", "..."}, {"c", browse_command(w)}}});
    up();
}

void build_choices(const Window& w) {
    Launcher& l = w->launcher;
    heading("Options:");
    frame();
    make({"columnLayout", {}, {{"adj", true}, {"rs", 1}}});
    l.recursive = check("Include subdirectories", true);
    l.skip_existing = check("Skip existing files", false);
    up();
    up();
    heading("Source File Types:");
    frame();
    type_row(l.sources, true, true, true);
    up();
    heading("Convert To:");
    frame();
    type_row(l.outputs, true, false, false);
    up();
    heading("FBX Settings:");
    frame();
    l.preset = make({"optionMenu", {}, {{"label", "Preset:"}}});
    for (const char* preset : {"Default", "Animation", "Models Only"}) make({"menuItem", {}, {{"label", preset}}});
    up();
}

void build_processes(const Window& w) {
    heading("Background:");
    frame();
    make({"columnLayout", {}, {{"adj", true}, {"rs", 2}}});
    w->launcher.jobs = number_field("Maya processes (1 to 256, 0 = automatic):");
    w->launcher.timeout = number_field("Time limit per file in seconds (0 = none):");
    up();
    up();
}

}  // namespace

void build_launcher(const Window& w) {
    build_folder(w);
    build_choices(w);
    build_processes(w);
    make({"button", {}, {{"label", "Start in Background"}, {"c", start_command(w)}, {"h", 30},
                         {"bgc", py::tuple({0.3, 0.6, 0.3})}}});
}

}  // namespace velmora::background::window
