// What the checks that convert the doctor's own scenes share: the engine's
// front end for the doctor, the playback range its scenes say, and how
// their outputs are taken from convert_scene's results.
#pragma once

#include "doctor/recorder.hpp"
#include "engine/front_end.hpp"
#include "headless/scene_safety.hpp"
#include "host/host.hpp"

#include <optional>

namespace velmora::doctor {

// The range the doctor's scenes keep in their scene configuration node.
constexpr int kFirstFrame = 5;
constexpr int kLastFrame = 50;

// The engine's front end for the doctor: the chosen preset, outputs under
// fresh names in the doctor's folder, the log kept to be read. Guarded by a
// SceneSafety, it treats a scene's code as a batch's worker does: script
// nodes off, the range put back, each output read back against its source.
class DoctorFrontEnd final : public FrontEnd {
public:
    DoctorFrontEnd(Ref work, Ref preset) : work_(std::move(work)), preset_(std::move(preset)) {}

    bool skip_existing() override { return false; }
    void setup_fbx_export() override { apply_fbx_preset(preset_, *this); }
    void suspend_viewport() override {}
    // A name no earlier check took: the checks share the folder, and Maya
    // saves over a file that is there.
    Ref write_path(const Ref& output_file) override {
        Ref ext = py::item(host::os_path("splitext", {output_file}), 1);
        Ref path;
        do {
            path = host::os_path("join", {work_, py::format("written-{}{}", {py::integer(++written_), ext})});
        } while (host::exists(path));
        return path;
    }
    void log(const Ref& line) override { py::append(lines_, line); }
    void skipped(const Ref& /*output_file*/) override {}
    using FrontEnd::log;
    bool run_scene_scripts() override { return safety_ ? safety_->run_scripts() : true; }
    // A range Maya refused to take back is kept for the check that is about
    // it: the open goes on, so the others still see what the open did.
    void opened(const Ref& /*source_file*/) override {
        if (safety_) not_put_back_ = py::guard([this] { safety_->opened(); });
    }
    std::optional<Ref> check_output(const Ref& output_format, const Ref& path) override {
        if (!safety_) return std::nullopt;
        std::optional<Ref> reason = safety_->check(output_format, path);
        if (reason && !unverified_) unverified_ = py::format(".{} output: {}", {output_format, *reason});
        return reason;
    }

    void guard_with(headless::SceneSafety& safety) { safety_ = &safety; }
    // Maya's error when the range could not be put back after the open.
    const std::optional<Ref>& not_put_back() const { return not_put_back_; }
    // The first output the guard refused, and why ("<.ext> output: ...").
    const std::optional<Ref>& unverified() const { return unverified_; }

    void use_preset(const char* preset) {
        preset_ = py::str(preset);
        lines_ = py::list();
    }
    // The first warning or error the engine logged, stripped.
    std::optional<Ref> trouble() const {
        std::optional<Ref> found;
        py::any_of(lines_, [&found](const Ref& line) {
            Ref text = py::call_method(line, "strip");
            bool bad = py::truthy(py::call_method(text, "startswith", {py::tuple({"Warning", "ERROR"})}));
            if (bad) found = text;
            return bad;
        });
        return found;
    }

private:
    Ref work_;
    Ref preset_;
    Ref lines_ = py::list();
    long long written_ = 0;
    headless::SceneSafety* safety_ = nullptr;
    std::optional<Ref> not_put_back_;
    std::optional<Ref> unverified_;
};

// The path convert_scene wrote the one format to, or its error as the
// check's failure.
Ref written(const Ref& results);

// A scene of the doctor's own at <work>/<name>: doctor.ma's nodes, then
// `extra_nodes` (Maya ASCII statements, a str).
Ref write_scene(const Ref& work, const char* name, const Ref& extra_nodes);

}  // namespace velmora::doctor
