// The doctor's scenes opened and converted as a batch does by default
// (headless::SceneSafety, scene scripts off): a script node that must not
// run, a playback range that must be put back from the scene's own text,
// and outputs that velmora must read back as what their source was.
#include "doctor/checks.hpp"

#include "doctor/scene_front_end.hpp"
#include "headless/choices.hpp"
#include "host/files.hpp"

namespace velmora::doctor {
namespace {

constexpr const char kScriptedName[] = "doctor-scripts.ma";

// A text as a Python literal inside a MEL string: ascii() leaves only
// printable ASCII (any other character escaped, quotes as Python needs),
// then MEL's own escapes for the backslash and the double quote.
Ref python_literal_in_mel(const Ref& text) {
    Ref literal = py::call(py::builtin("ascii"), {text});
    literal = py::call_method(literal, "replace", {"\\", "\\\\"});
    return py::call_method(literal, "replace", {"\"", "\\\""});
}

// An open/close script node in Python whose before script makes `marker`:
// Maya runs it when the file is read unless script nodes are off.
Ref marker_node(const Ref& marker) {
    return py::format(
        "createNode script -n \"velmoraDoctorOpenScript\";\n"
        "\tsetAttr \".b\" -type \"string\" \"open({}, 'a').close()\";\n"
        "\tsetAttr \".st\" 1;\n"
        "\tsetAttr \".stp\" 1;\n",
        {python_literal_in_mel(marker)});
}

// The range of the open scene as "5-50 (animation 5-50)".
Ref open_range() {
    auto frame = [](const char* bound) {
        Ref value = host::cmds("playbackOptions", {}, {{"q", true}, {bound, true}});
        return py::call(py::builtin("int"), {value});
    };
    return py::format("{}-{} (animation {}-{})", {frame("min"), frame("max"), frame("ast"), frame("aet")});
}

Ref scene_range() {
    Ref first = py::integer(kFirstFrame);
    Ref last = py::integer(kLastFrame);
    return py::format("{}-{} (animation {}-{})", {first, last, first, last});
}

// Opens `source` as a batch's worker does with scene scripts off; fails
// when velmora would not open it at all. Returns its time unit.
Ref open_as_batch(const Ref& source, DoctorFrontEnd& front, headless::SceneSafety& safety) {
    front.guard_with(safety);
    if (std::optional<Ref> refusal = safety.refusal()) {
        fail(py::format("velmora refuses the doctor's own {}: {}", {host::os_path("basename", {source}), *refusal}));
    }
    return open_source(source, front);
}

// What a batch's worker guards a source with under the default choices:
// scene scripts off, every output verified.
headless::SceneSafety batch_safety(const Ref& source) { return headless::SceneSafety(source, headless::Choices{}, py::none()); }

void expect_range_put_back(const DoctorFrontEnd& front) {
    if (const std::optional<Ref>& error = front.not_put_back()) {
        fail(py::format("the playback range was not put back: {}", {*error}));
    }
}

// `source` written as `format` the way a batch's worker writes it: the
// output counts only once velmora read it back as what its source held.
// What the check said of it goes to `notes`.
Ref convert_as_batch(const Ref& work, const Ref& source, const char* format, const Ref& notes) {
    DoctorFrontEnd front(work, py::str("Default"));
    headless::SceneSafety safety = batch_safety(source);
    Ref fps = open_as_batch(source, front, safety);
    expect_range_put_back(front);
    Ref results = convert_scene(source, py::list({format}), fps, front);
    if (const std::optional<Ref>& unverified = front.unverified()) {
        fail(py::format("velmora could not verify Maya's {}", {*unverified}));
    }
    py::call_method(notes, "extend", {safety.notes()});
    return written(results);
}

}  // namespace

Ref script_nodes_off(const Ref& work) {
    Ref marker = host::os_path("join", {work, "script-node-ran"});
    Ref source = write_scene(work, kScriptedName, marker_node(marker));
    DoctorFrontEnd front(work, py::str("Default"));
    headless::SceneSafety safety = batch_safety(source);
    open_as_batch(source, front, safety);
    if (host::exists(marker)) {
        fail(py::str("Maya ran the scene's script node although executeScriptNodes was off"));
    }
    // The other way round, as the window opens scenes: without this, a
    // Maya that runs no script node at all would pass for one that obeys.
    DoctorFrontEnd window(work, py::str("Default"));
    open_source(source, window);
    if (!host::exists(marker)) {
        fail(py::str("Maya did not run the scene's open/close script node with executeScriptNodes on "
                     "either, so the doctor cannot tell whether turning them off keeps them from running"));
    }
    host::remove_if_there(marker);
    return py::format("{}'s open/close script node did not run with script nodes off (it did with them on)",
                      {kScriptedName});
}

Ref playback_range(const Ref& work, const Ref& source) {
    DoctorFrontEnd front(work, py::str("Default"));
    headless::SceneSafety safety = batch_safety(source);
    open_as_batch(source, front, safety);
    expect_range_put_back(front);
    Ref found = open_range();
    Ref expected = scene_range();
    if (py::check_status(PyObject_RichCompareBool(found.get(), expected.get(), Py_EQ)) == 0) {
        fail(py::format("the playback range was not put back: {} opened with script nodes off at frames {}, "
                        "its configuration node says {}",
                        {host::os_path("basename", {source}), found, expected}));
    }
    return py::format("opened with script nodes off, frames {} as its configuration node says", {found});
}

Ref output_verified(const Ref& work, const Ref& source) {
    Ref notes = py::list();
    Ref binary = convert_as_batch(work, source, "mb", notes);
    convert_as_batch(work, binary, "ma", notes);
    Ref detail = py::str("wrote .mb from doctor.ma and .ma from that with script nodes off; velmora read each "
                         "back and found what its source held");
    if (!py::truthy(notes)) return detail;
    return py::format("{} ({})", {detail, py::call_method(py::str("; "), "join", {notes})});
}

}  // namespace velmora::doctor
