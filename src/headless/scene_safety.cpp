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

std::string utf8_of(const Ref& text) {
    Ref bytes = py::call_method(text, "encode", {"utf-8", "surrogateescape"});
    return std::string(PyBytes_AsString(bytes.get()), static_cast<std::size_t>(PyBytes_Size(bytes.get())));
}

Ref text_of(const std::string& bytes) {
    return py::check(PyUnicode_DecodeUTF8(bytes.data(), static_cast<Py_ssize_t>(bytes.size()), "surrogateescape"));
}

Ref joined(const std::vector<std::string>& parts, const char* separator) {
    std::string text;
    for (const std::string& part : parts) text += (text.empty() ? "" : separator) + part;
    return text_of(text);
}

bool is_fbx_path(const Ref& path) {
    Ref extension = py::call_method(py::item(host::os_path("splitext", {path}), 1), "lower");
    return py::equals(extension, ".fbx");
}

// What Maya holds after opening a scene velmora cannot read the nodes of
// (an FBX source): its units and playback range, queried.
void take_what_maya_opened(scene::SceneFacts& facts) {
    auto unit = [](const char* which) {
        return utf8_of(host::cmds("currentUnit", {}, {{"q", true}, {which, true}}));
    };
    facts.units = scene::Units{unit("linear"), unit("angle"), unit("time")};
    auto bound = [](const char* which) {
        return py::as_double(host::cmds("playbackOptions", {}, {{"q", true}, {which, true}}));
    };
    facts.playback = scene::Playback{bound("min"), bound("max"), bound("ast"), bound("aet")};
}

}  // namespace

SceneSafety::SceneSafety(const Ref& source, const Choices& choices)
    : source_(source),
      run_scripts_(py::equals(choices.scene_scripts, "run")),
      verify_(choices.verify),
      fbx_version_(choices.fbx_version) {
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
                      {joined(facts_->other_statements, ", ")});
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
        if (fbx_version_.get() != Py_None) expected = scene::fbx_file_version(utf8_of(fbx_version_));
        verdict = scene::verify_fbx(*written, expected);
    } else if (facts_) {
        verdict = scene::verify_output(*facts_, *written);
    } else {
        verdict.differences = written->problems;
        verdict.not_checked.push_back("not compared with its source, which velmora could not read (" +
                                      utf8_of(unread_) + ")");
    }
    note_verdict(format, verdict.notes, "");
    // An FBX file's version is checked only against a version chosen.
    bool unchosen_version = py::equals(format, "fbx") && fbx_version_.get() == Py_None;
    if (!unchosen_version) note_verdict(format, verdict.not_checked, "not checked: ");
    if (verdict.passed()) return std::nullopt;
    host::remove_if_there(path);
    return py::format("not what its source was: {}", {text_of(verdict.reason())});
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
        if (!concerns.empty()) what += "; " + utf8_of(joined(concerns, ", "));
        note(py::format("script node not run: {} ({})", {text_of(node.name), text_of(what)}));
    }
}

void SceneSafety::note_verdict(const Ref& format, const std::vector<std::string>& lines, const char* kind) {
    for (const std::string& line : lines) note(py::format("{} output: {}{}", {format, kind, text_of(line)}));
}

}  // namespace velmora::headless
