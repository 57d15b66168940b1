#include "scene/findings.hpp"

#include "host/stdlib.hpp"

#include <algorithm>
#include <utility>
#include <vector>

namespace velmora::scene {
namespace {

// How many of a summary's most common entries are named.
constexpr std::size_t kNamed = 10;

Ref joined(const Ref& parts, const char* separator) { return py::call_method(py::str(separator), "join", {parts}); }

Ref counted(long long count, const char* one, const char* many) {
    return py::format("{:,} {}", {count, count == 1 ? one : many});
}

// "mtoa 5.2.1.1, AbcImport 1.0"
Ref plugins_text(const Ref& requires_) {
    Ref names = py::list();
    py::for_each(requires_, [&](const Ref& pair) {
        py::append(names, py::format("{} {}", {py::item(pair, 0), py::item(pair, 1)}));
    });
    return joined(names, ", ");
}

// "1 missing of 3" for references or files, or None when none is missing.
std::optional<Ref> missing_of_all(const Ref& facts, const char* key) {
    long long lacking = py::length(missing(facts, key));
    if (lacking == 0) return std::nullopt;
    return py::format("{:,} missing of {:,}", {lacking, static_cast<long long>(py::length(py::get_item(facts, key)))});
}

// "truncated at byte 4,096: ... (and 2 more)"
Ref problems_text(const Ref& problems) {
    Py_ssize_t count = py::length(problems);
    if (count == 1) return py::item(problems, 0);
    return py::format("{} (and {:,} more)", {py::item(problems, 0), static_cast<long long>(count - 1)});
}

// "evil (open/close: writes files, runs programs)"; what a node's text does
// beyond Maya's configuration nodes is for a person to judge.
Ref script_text(const Ref& node) {
    Ref concerns = py::call_method(node, "get", {"concerns", py::list()});
    if (py::length(concerns) == 0) {
        return py::format("{} ({})", {py::get_item(node, "name"), py::get_item(node, "runs")});
    }
    return py::format("{} ({}: {})", {py::get_item(node, "name"), py::get_item(node, "runs"), joined(concerns, ", ")});
}

Ref script_names(const Ref& facts) {
    Ref names = py::list();
    py::for_each(py::get_item(facts, "script_nodes"), [&](const Ref& node) { py::append(names, script_text(node)); });
    return joined(names, ", ");
}

// The script nodes whose text does more than configure panels and the
// playback range, as script_text gives them.
Ref concerning_scripts(const Ref& facts) {
    Ref found = py::list();
    py::for_each(py::get_item(facts, "script_nodes"), [&](const Ref& node) {
        if (py::length(py::call_method(node, "get", {"concerns", py::list()})) > 0) py::append(found, script_text(node));
    });
    return found;
}

void count(std::map<std::string, long long>& counts, const Ref& name) { ++counts[py::bytes_of(name)]; }

// "2023 (40), 2018ff09 (12), ... and 3 more", most common first.
Ref most_common(const std::map<std::string, long long>& counts) {
    std::vector<std::pair<std::string, long long>> rows(counts.begin(), counts.end());
    std::stable_sort(rows.begin(), rows.end(), [](const auto& a, const auto& b) { return a.second > b.second; });
    Ref parts = py::list();
    for (std::size_t i = 0; i < rows.size() && i < kNamed; ++i) {
        py::append(parts, py::format("{} ({})", {py::text_of_bytes(rows[i].first), counted(rows[i].second, "scene", "scenes")}));
    }
    if (rows.size() > kNamed) {
        py::append(parts, py::format("and {:,} more", {static_cast<long long>(rows.size() - kNamed)}));
    }
    return joined(parts, ", ");
}

}  // namespace

Ref missing(const Ref& facts, const char* key) {
    Ref paths = py::list();
    py::for_each(py::get_item(facts, key), [&](const Ref& entry) {
        if (!py::truthy(py::get_item(entry, "exists"))) py::append(paths, py::get_item(entry, "path"));
    });
    return paths;
}

bool whole(const Ref& facts) {
    return py::length(py::get_item(facts, "problems")) == 0 && py::length(missing(facts, "references")) == 0 &&
           py::length(missing(facts, "external_files")) == 0;
}

Ref scene_line(const Ref& facts) {
    Ref units = py::get_item(facts, "units");
    Ref parts = py::list({py::format("Maya {}", {py::get_item(facts, "maya_version")}),
                          py::format("{}/{}/{}", {py::get_item(units, "linear"), py::get_item(units, "angle"),
                                                  py::get_item(units, "time")}),
                          counted(py::as_long(py::get_item(facts, "nodes")), "node", "nodes")});
    if (py::equals(py::get_item(facts, "format"), "fbx")) {
        parts = py::list({py::format("FBX {}", {py::get_item(facts, "maya_version")})});
    }
    Ref requires_ = py::get_item(facts, "requires");
    if (py::length(requires_) > 0) py::append(parts, py::format("plug-ins: {}", {plugins_text(requires_)}));
    if (auto lacking = missing_of_all(facts, "references")) py::append(parts, py::format("references: {}", {*lacking}));
    if (auto lacking = missing_of_all(facts, "external_files")) py::append(parts, py::format("files: {}", {*lacking}));
    long long scripts = py::length(py::get_item(facts, "script_nodes"));
    Ref concerning = concerning_scripts(facts);
    if (py::length(concerning) > 0) {
        py::append(parts, py::format("{}, doing more than configuration: {}",
                                     {counted(scripts, "script node", "script nodes"), joined(concerning, "; ")}));
    } else if (scripts > 0) {
        py::append(parts, counted(scripts, "script node", "script nodes"));
    }
    // Maya evaluates expressions whenever the scene is, scripts or not.
    if (std::optional<Ref> expressions = py::find_item(py::get_item(facts, "node_types"), "expression")) {
        py::append(parts, counted(py::as_long(*expressions), "expression", "expressions"));
    }
    Ref problems = py::get_item(facts, "problems");
    if (py::length(problems) > 0) py::append(parts, py::format("problems: {}", {problems_text(problems)}));
    return joined(parts, ", ");
}

Ref needs_line(const Ref& facts) {
    Ref parts = py::list();
    Ref problems = py::get_item(facts, "problems");
    if (py::length(problems) > 0) py::append(parts, py::format("not read whole: {}", {problems_text(problems)}));
    Ref references = missing(facts, "references");
    if (py::length(references) > 0) {
        py::append(parts, py::format("references missing: {}", {joined(references, ", ")}));
    }
    Ref files = missing(facts, "external_files");
    if (py::length(files) > 0) py::append(parts, py::format("files missing: {}", {joined(files, ", ")}));
    Ref requires_ = py::get_item(facts, "requires");
    if (py::length(requires_) > 0) py::append(parts, py::format("plug-ins: {}", {plugins_text(requires_)}));
    if (py::length(py::get_item(facts, "script_nodes")) > 0) {
        py::append(parts, py::format("script nodes: {}", {script_names(facts)}));
    }
    return py::length(parts) > 0 ? joined(parts, "; ") : py::none();
}

void Tally::scene(const Ref& facts) {
    ++scenes_;
    count(versions_, py::format("{} {}", {py::equals(py::get_item(facts, "format"), "fbx") ? "FBX" : "Maya",
                                          py::get_item(facts, "maya_version")}));
    py::for_each(py::get_item(facts, "requires"), [&](const Ref& pair) { count(plugins_, py::item(pair, 0)); });
    Ref references = missing(facts, "references");
    py::for_each(references, [&](const Ref& path) { count(references_, path); });
    bool lacks_files = py::length(missing(facts, "external_files")) > 0;
    missing_references_ += py::length(references) > 0 ? 1 : 0;
    missing_files_ += lacks_files ? 1 : 0;
    with_scripts_ += py::length(py::get_item(facts, "script_nodes")) > 0 ? 1 : 0;
    with_concerns_ += py::length(concerning_scripts(facts)) > 0 ? 1 : 0;
    if (py::length(py::get_item(facts, "problems")) > 0) {
        ++damaged_;
    } else if (py::length(references) > 0 || lacks_files) {
        ++incomplete_;
    }
}

void Tally::unread(const Ref& /*reason*/) {
    ++scenes_;
    ++unread_;
}

Ref Tally::lines() const {
    Ref lines = py::list();
    py::append(lines, py::format("{}: {:,} read whole, {:,} will likely fail ({:,} not read as scenes, {:,} read with "
                                 "problems), {:,} may convert with parts missing",
                                 {counted(scenes_, "scene", "scenes"), scenes_ - failing() - incomplete_, failing(),
                                  unread_, damaged_, incomplete_}));
    if (missing_references_ + missing_files_ > 0) {
        py::append(lines, py::format("  missing: references in {}, files in {}",
                                     {counted(missing_references_, "scene", "scenes"),
                                      counted(missing_files_, "scene", "scenes")}));
    }
    if (!versions_.empty()) py::append(lines, py::format("versions: {}", {most_common(versions_)}));
    if (!plugins_.empty()) py::append(lines, py::format("plug-ins needed: {}", {most_common(plugins_)}));
    if (!references_.empty()) {
        py::append(lines, py::format("missing references: {}", {most_common(references_)}));
    }
    if (with_scripts_ > 0) {
        py::append(lines, py::format("script nodes in {}, {:,} of them with script nodes doing more than "
                                     "configuration (files, programs, modules, callbacks: see their lines)",
                                     {counted(with_scripts_, "scene", "scenes"), with_concerns_}));
    }
    return lines;
}

}  // namespace velmora::scene
