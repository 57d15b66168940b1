// The seam between the conversion engine and whoever drives it: the main
// window, or a headless worker. Through it the engine reads the user's
// choices while it converts, learns where to write, and hands over its log
// lines and the outputs it skipped; everything else (the Maya calls, their
// order, the messages) is the engine's own.
#pragma once

#include "core/converter.hpp"

#include <functional>
#include <optional>

namespace velmora {

class FrontEnd {
public:
    FrontEnd() = default;
    FrontEnd(const FrontEnd&) = delete;
    FrontEnd& operator=(const FrontEnd&) = delete;
    virtual ~FrontEnd() = default;

    // Whether an output that exists is skipped; read once per source.
    virtual bool skip_existing() = 0;
    // Sets up Maya's FBX exporter for the chosen preset, before each FBX
    // output.
    virtual void setup_fbx_export() = 0;
    // Hides Maya's main pane before a source is opened.
    virtual void suspend_viewport() = 0;
    // Where the outputs of a source go: the source's path without its
    // extension, to which ".<format>" is added. Next to the source unless
    // a front end says otherwise.
    virtual Ref output_base(const Ref& source_base) { return source_base; }
    // The path an output is written to, given the name it should have
    // (which may exist already).
    virtual Ref write_path(const Ref& output_file) = 0;
    // Whether a source's script nodes run when it is opened, as they do in
    // Maya by default; when not, it is opened with executeScriptNodes off.
    virtual bool run_scene_scripts() { return true; }
    // Right after a source is opened, before its time unit is read.
    virtual void opened(const Ref& /*source_file*/) {}
    // An output just written at `path` (write_path's name), checked before
    // it counts as written: a reason fails it.
    virtual std::optional<Ref> check_output(const Ref& /*output_format*/, const Ref& /*path*/) {
        return std::nullopt;
    }
    // One message of the engine's log.
    virtual void log(const Ref& line) = 0;
    // An output that was not written because its name exists.
    virtual void skipped(const Ref& output_file) = 0;

    void log(const char* line) { log(py::str(line)); }
};

// The main window: its controls, its methods, and outputs written in place
// under a free name.
class WindowFrontEnd final : public FrontEnd {
public:
    explicit WindowFrontEnd(PyObject* self) : self_(self) {}
    bool skip_existing() override;
    void setup_fbx_export() override;
    void suspend_viewport() override;
    Ref write_path(const Ref& output_file) override;
    // The window's log method and its list of skipped files.
    void log(const Ref& line) override;
    void skipped(const Ref& output_file) override;
    using FrontEnd::log;

private:
    PyObject* self_;
};

// engine/sources.cpp: the scenes in `folder` (and its subfolders when
// `recursive`) whose names end with one of `extensions`, in the window's
// order. A subfolder that cannot be listed is passed to `unreadable`.
using UnreadableFolder = std::function<void(const Ref& error)>;
Ref list_sources(const Ref& folder, const Ref& extensions, bool recursive,
                 const UnreadableFolder& unreadable);

// engine/batch.cpp: a new scene, the pane hidden, the source opened (with
// the FBX plug-in loaded first for an FBX source); returns its time unit.
Ref open_source(const Ref& source_file, FrontEnd& front);

// engine/conversion.cpp: the open scene written in every output format.
Ref convert_scene(const Ref& source_file, const Ref& output_formats, const Ref& source_fps,
                  FrontEnd& front);

// engine/fbx_presets.cpp
// Loads Maya's FBX plug-in unless it is loaded already.
void ensure_fbx_plugin();
// The exporter's options for `preset`; a failure is logged as a warning.
void apply_fbx_preset(const Ref& preset, FrontEnd& front);

}  // namespace velmora
