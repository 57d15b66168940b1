#include "headless/scene_safety.hpp"

#include "host/files.hpp"
#include "host/host.hpp"
#include "host/stdlib.hpp"
#include "scene/inspect.hpp"
#include "scene/script_concerns.hpp"
#include "scene/verification.hpp"

#include <string>

namespace velmora::headless {
namespace {

// Script node types that Maya runs when a scene opens in a batch (Maya's
// own UI configuration, type 3, and the GUI ones, type 2, run only with an
// interface; type 6, the scene configuration, sets the playback range,
// which is put back from its text).
constexpr int kOpenClose = 1;
constexpr int kSceneConfiguration = 6;

std::string joined(const std::vector<std::string>& parts, const char* separator) {
    std::string text;
    for (const std::string& part : parts) text += (text.empty() ? "" : separator) + part;
    return text;
}

bool is_fbx_path(const Ref& path) {
    Ref extension = py::call_method(py::item(host::os_path("splitext", {path}), 1), "lower");
    return py::equals(extension, ".fbx");
}

// What Maya holds after opening a scene velmora cannot read the nodes of
// (an FBX source): its units and playback range, queried.
void take_what_maya_opened(scene::SceneFacts& facts) {
    auto unit = [](const char* which) {
        return py::bytes_of(host::cmds("currentUnit", {}, {{"q", true}, {which, true}}));
    };
    facts.units = scene::Units{unit("linear"), unit("angle"), unit("time")};
    auto bound = [](const char* which) {
        return py::as_double(host::cmds("playbackOptions", {}, {{"q", true}, {which, true}}));
    };
    facts.playback = scene::Playback{bound("min"), bound("max"), bound("ast"), bound("aet")};
}

}  // namespace

SceneSafety::SceneSafety(const Ref& source, const Choices& choices, const Ref& exporter_version)
    : source_(source),
      run_scripts_(py::equals(choices.scene_scripts, "run")),
      verify_(choices.verify),
      exporter_version_(exporter_version) {
    if (std::optional<Ref> failure = py::guard([&] { facts_ = scene::read_facts(source); })) {
        unread_ = py::format("{}", {*failure});
    }
    if (facts_ && !run_scripts_) note_scripts_not_run();
}

std::optional<Ref> SceneSafety::refusal() const {
    // A file velmora cannot read is left to Maya, which says why it cannot
    // open it either (an unknown header is not Maya ASCII to Maya).
    if (run_scripts_ || !facts_) return std::nullopt;
    if (facts_->format != scene::Format::MayaAscii || facts_->other_statements.empty()) return std::nullopt;
    return py::format("not opened: its top level runs MEL that Maya does not write into scenes ({}); scene "
                      "scripts run only when chosen (--scene-scripts run)",
                      {py::text_of_bytes(joined(facts_->other_statements, ", "))});
}

void SceneSafety::opened() {
    if (is_fbx_path(source_)) {
        if (!facts_) facts_ = scene::SceneFacts{};
        facts_->format = scene::Format::Fbx;
        take_what_maya_opened(*facts_);
        return;
    }
    if (run_scripts_ || !facts_ || !facts_->playback) return;
    const scene::Playback& range = *facts_->playback;
    // In MEL, as the scene's own text says it: time flags take frames
    // with fractions there.
    host::mel_eval(py::format("playbackOptions -min {!r} -max {!r} -ast {!r} -aet {!r}",
                              {range.min, range.max, range.ast, range.aet}));
}

std::optional<Ref> SceneSafety::check(const Ref& format, const Ref& path) {
    if (!verify_) return std::nullopt;
    std::optional<scene::SceneFacts> written;
    if (std::optional<Ref> failure = py::guard([&] { written = scene::read_facts(path); })) {
        return py::format("not verified: velmora could not read what Maya wrote ({})", {*failure});
    }
    scene::Verdict verdict;
    if (py::equals(format, "fbx")) {
        std::optional<std::string> expected;
        if (exporter_version_.get() != Py_None) expected = scene::fbx_file_version(py::bytes_of(exporter_version_));
        verdict = scene::verify_fbx(*written, expected);
    } else if (facts_) {
        verdict = scene::verify_output(*facts_, *written);
    } else {
        verdict.differences = written->problems;
        verdict.not_checked.push_back("not compared with its source, which velmora could not read (" +
                                      py::bytes_of(unread_) + ")");
    }
    note_verdict(format, verdict.notes, "");
    // An FBX file's version is checked only against a version chosen.
    bool unchosen_version = py::equals(format, "fbx") && exporter_version_.get() == Py_None;
    if (!unchosen_version) note_verdict(format, verdict.not_checked, "not checked: ");
    if (verdict.passed()) return std::nullopt;
    host::remove_if_there(path);
    return py::format("not what its source was: {}", {py::text_of_bytes(verdict.reason())});
}

bool SceneSafety::may_leave_code_behind() const {
    if (!run_scripts_) return false;
    if (!facts_) return true;
    if (!facts_->other_statements.empty()) return true;
    for (const scene::ScriptNode& node : facts_->script_nodes) {
        if (node.type.value_or(0) == kOpenClose || !scene::script_concerns(node).empty()) return true;
    }
    return false;
}

void SceneSafety::note(const Ref& text) { py::append(notes_, text); }

// The script nodes whose work Maya would have done on open and velmora
// did not: open/close nodes, and a scene configuration whose range it
// could not read. What each one's text does is said for a person to judge.
void SceneSafety::note_scripts_not_run() {
    for (const scene::ScriptNode& node : facts_->script_nodes) {
        int type = node.type.value_or(0);
        bool configured = type == kSceneConfiguration && facts_->playback;
        if (type != kOpenClose && (type != kSceneConfiguration || configured)) continue;
        std::vector<std::string> concerns = scene::script_concerns(node);
        std::string what = scene::script_runs(node.type);
        if (!concerns.empty()) what += "; " + joined(concerns, ", ");
        note(py::format("script node not run: {} ({})", {py::text_of_bytes(node.name), py::text_of_bytes(what)}));
    }
}

void SceneSafety::note_verdict(const Ref& format, const std::vector<std::string>& lines, const char* kind) {
    for (const std::string& line : lines) note(py::format("{} output: {}{}", {format, kind, py::text_of_bytes(line)}));
}

}  // namespace velmora::headless
