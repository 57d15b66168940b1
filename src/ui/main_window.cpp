// The main window: folder, source types, output formats, FBX preset,
// options, status line, progress bar and the Start button.
#include "core/converter.hpp"
#include "ui/commands.hpp"

namespace velmora {
namespace {

using ui::Command;

// The column of the window under the title bar, top to bottom. A
// setParent("..") leaves the current layout; the frames with an inner
// column need two, the FBX frame holds its option menu directly and
// needs one.
std::vector<Command> main_column(PyObject* self) {
    const Ref bold = py::str("boldLabelFont");
    const Ref frame_cat = py::tuple({"both", 3});
    auto heading = [&bold](const char* label) {
        return Command{"text", {}, {{"label", label}, {"align", "left"}, {"font", bold}}};
    };
    auto frame = [] { return Command{"frameLayout", {}, {{"lv", false}, {"mw", 3}, {"mh", 2}}}; };
    auto inner_column = [](int spacing) {
        return Command{"columnLayout", {}, {{"adj", true}, {"rs", spacing}}};
    };
    auto check = [](const char* label, bool value, const char* store) {
        return Command{"checkBox", {}, {{"label", label}, {"v", value}}, store};
    };
    const Command up{"setParent", {".."}, {}};
    const Command separator{"separator", {}, {{"h", 3}}};

    return {
        {"columnLayout", {}, {{"adj", true}, {"rs", 3}, {"cat", frame_cat}}},
        // header row
        {"rowLayout", {}, {{"nc", 2}, {"adj", 1},
                           {"cat", py::list({py::tuple({1, "left", 0}), py::tuple({2, "right", 0})})}}},
        {"text", {}, {{"label", "Velmora"}, {"font", bold}, {"h", 20}}},
        {"button", {}, {{"label", "About"}, {"w", 50}, {"c", attr(self, "show_about")}}},
        up,
        {"separator", {}, {{"h", 3}, {"st", "in"}}},
        // source folder
        heading("Source Folder:"),
        {"rowLayout", {}, {{"nc", 2}, {"cw2", py::tuple({170, 55})}, {"adj", 1},
                           {"cat", py::list({py::tuple({1, "both", 1}), py::tuple({2, "both", 1})})}}},
        {"textField", {}, {{"ed", false}, {"pht", "Select..."}}, "folder_text"},
        {"button", {}, {{"label", "..."}, {"c", attr(self, "browse_folder")}}},
        up,
        separator,
        // options
        heading("Options:"),
        frame(),
        inner_column(1),
        check("Include subdirectories", true, "recursive_check"),
        check("Skip existing files", false, "skip_existing_check"),
        up,
        up,
        separator,
        // source file types
        heading("Source File Types:"),
        frame(),
        inner_column(1),
        check(".ma", true, "src_ma"),
        check(".mb", true, "src_mb"),
        check(".fbx", true, "src_fbx"),
        up,
        up,
        separator,
        // output formats
        heading("Convert To:"),
        frame(),
        inner_column(1),
        check(".ma", true, "out_ma"),
        check(".mb", false, "out_mb"),
        check(".fbx", false, "out_fbx"),
        up,
        up,
        separator,
        // FBX preset
        heading("FBX Settings:"),
        frame(),
        {"optionMenu", {}, {{"label", "Preset:"}}, "fbx_preset"},
        {"menuItem", {}, {{"label", "Default"}}},
        {"menuItem", {}, {{"label", "Animation"}}},
        {"menuItem", {}, {{"label", "Models Only"}}},
        up,
        separator,
        // progress
        heading("Progress:"),
        frame(),
        inner_column(2),
        {"text", {}, {{"label", "Ready"}, {"align", "left"}}, "status_text"},
        {"progressBar", {}, {{"maxValue", 100}, {"w", 210}}, "progress_bar"},
        up,
        up,
        separator,
        {"button", {}, {{"label", "Start Conversion"}, {"c", attr(self, "start_conversion")},
                        {"h", 30}, {"bgc", py::tuple({0.3, 0.6, 0.3})}},
         "convert_btn"},
    };
}

}  // namespace

void create_ui(PyObject* self) {
    ui::delete_existing_window(attr(self, "window_name"));
    Ref window = host::cmds("window", {attr(self, "window_name")},
                            {{"title", "Velmora"},
                             {"widthHeight", py::tuple({240, 470})},
                             {"sizeable", true}});
    py::setattr(self, "window_name", window);
    ui::run_all(self, main_column(self));
    host::cmds("showWindow", {attr(self, "window_name")});
}

void browse_folder(PyObject* self) {
    Ref chosen = host::cmds("fileDialog2", {}, {{"fm", 3}, {"cap", "Select Source Folder"}});
    if (!py::truthy(chosen)) return;  // cancelled
    py::setattr(self, "source_folder", py::item(chosen, 0));
    Ref folder = attr(self, "source_folder");
    host::cmds("textField", {attr(self, "folder_text")}, {{"e", true}, {"text", folder}});
    log_msg(self, py::format("Selected: {}", {folder}));
}

// Both run inside the batch, which blocks Maya's event loop: the refresh
// is what makes the new value visible before the batch goes on.
void update_status(PyObject* self, const Ref& msg) {
    host::cmds("text", {attr(self, "status_text")}, {{"e", true}, {"label", msg}});
    host::cmds("refresh");
}

void update_progress(PyObject* self, const Ref& val) {
    host::cmds("progressBar", {attr(self, "progress_bar")}, {{"e", true}, {"pr", val}});
    host::cmds("refresh");
}

}  // namespace velmora
