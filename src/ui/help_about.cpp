// The quick-help and about windows: stand-alone, each closed by its own
// button.
#include "core/converter.hpp"
#include "host/callback.hpp"
#include "ui/commands.hpp"

namespace velmora {
namespace {

using ui::Command;

constexpr const char kQuickHelp[] =
    "VELMORA - QUICK GUIDE\n"
    "\n"
    "BASIC USAGE:\n"
    "1. Click \"Browse\" to select a folder containing Maya scenes\n"
    "2. Choose source file types to process (.ma, .mb, .fbx)\n"
    "3. Select output formats for conversion\n"
    "4. Click \"Start Conversion\" to begin\n"
    "\n"
    "OPTIONS:\n"
    "- Include subdirectories - Process all files in nested folders\n"
    "- Skip existing files - Don't overwrite existing converted files\n"
    "\n"
    "OUTPUT FORMATS:\n"
    "- .ma - Maya ASCII (text-based, version control friendly)\n"
    "- .mb - Maya Binary (compact, faster to load)\n"
    "- .fbx - Standard interchange format\n"
    "\n"
    "FBX SETTINGS:\n"
    "- Default - Exports geometry and animation as-is\n"
    "- Animation - Exports baked animation only (no geometry)\n"
    "- Models Only - Exports geometry without animation\n"
    "\n"
    "NOTES:\n"
    "- Original files are never modified\n"
    "- FPS is preserved from source files\n"
    "- If a converted file exists, an incremental suffix is added (_001, _002, etc.)\n"
    "- Statistics can be saved to a text file after conversion\n"
    "- All operations are logged to D:/converter_log.txt\n"
    "\n"
    "Questions and bug reports: https://velmora.example/issues";

constexpr const char kDescription[] =
    "A professional tool for batch conversion of Maya scene files\n"
    "between .ma, .mb, and .fbx formats.";
constexpr const char kAttribution[] = "Written and maintained by the velmora developers";
constexpr const char kHomeLink[] =
    "<a href=\"https://velmora.example/\" style=\"color:#6CB4EE;\">velmora.example</a>";
constexpr const char kIssuesLink[] =
    "<a href=\"https://velmora.example/issues\" style=\"color:#6CB4EE;\">Report a problem</a>";
constexpr const char kNotice[] = "Provided as is, without warranty of any kind.";

// The button's command: Maya passes the button's state, which is ignored.
// It holds the name Maya gave the window, not the name asked for.
Ref close_command(const Ref& window) {
    return host::make_callback(
        [window] {
            host::cmds("deleteUI", {window});
            return py::none();
        },
        1);
}

}  // namespace

void show_help(PyObject* self) {
    Ref name = py::str("helpWin");
    ui::delete_existing_window(name);
    Ref window = host::cmds("window", {name},
                            {{"title", "Quick Help"}, {"widthHeight", py::tuple({520, 500})}});
    ui::run_all(self, {
        {"columnLayout", {}, {{"adj", true}, {"rs", 8}, {"cat", py::tuple({"both", 10})}}},
        {"scrollField", {}, {{"text", kQuickHelp}, {"ed", false}, {"ww", true}, {"h", 430},
                             {"fn", "plainLabelFont"}}},
        {"button", {}, {{"label", "Close"}, {"c", close_command(window)}, {"h", 30}}},
    });
    host::cmds("showWindow", {window});
}

void show_about(PyObject* self) {
    Ref name = py::str("aboutWin");
    ui::delete_existing_window(name);
    Ref window = host::cmds("window", {name},
                            {{"title", "About Velmora"},
                             {"widthHeight", py::tuple({320, 320})},
                             {"sizeable", false}});
    auto space = [](int height) { return Command{"separator", {}, {{"h", height}, {"st", "none"}}}; };
    auto line = [] { return Command{"separator", {}, {{"h", 5}, {"st", "in"}}}; };
    auto centred = [](const char* label) {
        return Command{"text", {}, {{"label", label}, {"align", "center"}}};
    };
    auto link = [](const char* anchor) {
        return Command{"text", {}, {{"label", anchor}, {"hyperlink", true}, {"align", "center"}}};
    };
    ui::run_all(self, {
        {"columnLayout", {}, {{"adj", true}, {"rs", 8}, {"cat", py::tuple({"both", 15})}}},
        space(10),
        {"text", {}, {{"label", "Velmora"}, {"font", "boldLabelFont"}, {"h", 25}}},
        {"text", {}, {{"label", "Version 1.0"}, {"h", 20}}},
        line(),
        {"text", {}, {{"label", kDescription}, {"align", "center"}, {"ww", true}}},
        line(),
        centred(kAttribution),
        link(kHomeLink),
        link(kIssuesLink),
        line(),
        centred(kNotice),
        space(15),
        {"button", {}, {{"label", "OK"}, {"c", close_command(window)}, {"h", 28}}},
        space(5),
    });
    host::cmds("showWindow", {window});
}

}  // namespace velmora
