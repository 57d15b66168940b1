#include "scene/verification.hpp"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <map>
#include <set>

#include "scene/text.hpp"

namespace velmora::scene {
namespace {

constexpr std::size_t kListed = 5;            // items named in one line before "and N more"
constexpr std::size_t kDifferencesInReason = 3;

// The nodes every scene has before its file is read. A file names them
// with -s to set their attributes; Maya keeps its own and writes them anew.
constexpr std::string_view kDefaultNodes[] = {
    "persp", "perspShape", "top", "topShape", "front", "frontShape", "side", "sideShape",
};

std::string counted(std::size_t n, const char* one, const char* many) {
    return thousands(n) + " " + (n == 1 ? one : many);
}

// "a, b, c, d, e and 7 more"
std::string listed(const std::vector<std::string>& items) {
    std::string out;
    std::size_t shown = std::min(items.size(), kListed);
    for (std::size_t i = 0; i < shown; ++i) {
        if (i > 0) out += ", ";
        out += items[i];
    }
    if (items.size() > shown) out += " and " + thousands(items.size() - shown) + " more";
    return out;
}

std::string number(double value) {
    char text[32];
    std::snprintf(text, sizeof text, "%.10g", value);
    return text;
}

// A .ma names a parent by a short name or a path ("|group1|pCube1"); a
// node's own name is compared by its last part on both sides.
std::string last_part(std::string_view path) {
    std::size_t bar = path.rfind('|');
    return std::string(bar == std::string_view::npos ? path : path.substr(bar + 1));
}

// The Maya Binary reader gives a type whose tag it does not know as 8 hex
// digits: such a type says nothing about what the node is.
bool unknown_type(std::string_view type) {
    return type.size() == 8 &&
           std::all_of(type.begin(), type.end(), [](char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'); });
}

bool maya_keeps_its_own(const Node& node) {
    return node.shared ||
           std::find(std::begin(kDefaultNodes), std::end(kDefaultNodes), node.name) != std::end(kDefaultNodes);
}

using ByName = std::map<std::string, std::vector<const Node*>>;

ByName by_name(const std::vector<Node>& nodes) {
    ByName found;
    for (const Node& node : nodes) found[last_part(node.name)].push_back(&node);
    return found;
}

struct Losses {
    std::vector<std::string> missing;        // "name (type)" or "name (type) under parent"
    std::vector<std::string> kept_by_maya;   // shared nodes Maya made its own
};

void lose(const Node& node, const std::string& parent, Losses& losses) {
    std::string text = last_part(node.name) + " (" + node.type + ")";
    if (!parent.empty()) text += " under " + parent;
    (maya_keeps_its_own(node) ? losses.kept_by_maya : losses.missing).push_back(std::move(text));
}

// One name's nodes: as many in the output as in the source, and where both
// files give parents, as many under each parent. A node under another
// parent in the output is lost from its own.
void compare_name(const std::vector<const Node*>& source, const std::vector<const Node*>& output, bool parents,
                  Losses& losses) {
    std::size_t under_parents = 0;
    std::vector<bool> reported(source.size(), false);
    if (parents) {
        std::map<std::string, std::vector<std::size_t>> source_under;
        std::map<std::string, std::size_t> output_under;
        for (std::size_t i = 0; i < source.size(); ++i) {
            if (!source[i]->parent.empty()) source_under[last_part(source[i]->parent)].push_back(i);
        }
        for (const Node* node : output) {
            if (!node->parent.empty()) ++output_under[last_part(node->parent)];
        }
        for (const auto& [parent, indices] : source_under) {
            std::size_t there = output_under[parent];
            for (std::size_t k = there; k < indices.size(); ++k) {
                lose(*source[indices[k]], parent, losses);
                reported[indices[k]] = true;
                ++under_parents;
            }
        }
    }
    std::size_t short_by = source.size() > output.size() ? source.size() - output.size() : 0;
    for (std::size_t i = source.size(); i-- > 0 && under_parents < short_by;) {
        if (reported[i]) continue;
        lose(*source[i], "", losses);
        ++under_parents;
    }
}

// Types of one name's nodes, as multisets: a type only the source has,
// paired with one only the output has, is a node Maya upgraded on load.
void compare_types(const std::string& name, const std::vector<const Node*>& source,
                   const std::vector<const Node*>& output, Verdict& verdict, std::vector<std::string>& unknown) {
    std::multiset<std::string> left, right;
    for (const Node* node : source) left.insert(node->type);
    for (const Node* node : output) {
        auto same = left.find(node->type);
        if (same != left.end()) {
            left.erase(same);
        } else {
            right.insert(node->type);
        }
    }
    auto other = right.begin();
    for (auto it = left.begin(); it != left.end() && other != right.end(); ++it, ++other) {
        if (unknown_type(*it) || unknown_type(*other)) {
            unknown.push_back(name + " (" + *it + " in the source, " + *other + " in the output)");
        } else {
            verdict.notes.push_back(name + ": " + *it + " in the source, " + *other + " in the output");
        }
    }
}

void compare_nodes(const SceneFacts& source, const SceneFacts& output, Verdict& verdict) {
    ByName before = by_name(source.nodes), after = by_name(output.nodes);
    bool parents = source.parents_known && output.parents_known;
    Losses losses;
    std::vector<std::string> unknown;
    static const std::vector<const Node*> kNone;
    for (const auto& [name, nodes] : before) {
        auto found = after.find(name);
        const std::vector<const Node*>& there = found == after.end() ? kNone : found->second;
        compare_name(nodes, there, parents, losses);
        compare_types(name, nodes, there, verdict, unknown);
    }
    if (!losses.missing.empty()) {
        verdict.differences.insert(verdict.differences.begin(),
                                   thousands(losses.missing.size()) + " of " + counted(source.nodes.size(), "node", "nodes") +
                                       " missing: " + listed(losses.missing));
    }
    if (!losses.kept_by_maya.empty()) {
        verdict.notes.push_back("not in the output, nodes the source shares with Maya's own (-s): " +
                                listed(losses.kept_by_maya));
    }
    if (!parents && (!source.nodes.empty() || !output.nodes.empty())) {
        verdict.not_checked.push_back(std::string("the nodes' parents: the ") +
                                      (source.parents_known ? "output's" : "source's") +
                                      " Maya Binary layout gives some nodes' parents in a way not understood; "
                                      "nodes compared by name only");
    }
    if (!unknown.empty()) {
        verdict.not_checked.push_back("the types of " + counted(unknown.size(), "node", "nodes") +
                                      ": read as Maya Binary tags velmora does not know: " + listed(unknown));
    }
}

std::string reference_text(const std::string& path, const std::string& name_space) {
    return path + (name_space.empty() ? " (no namespace)" : " (namespace " + name_space + ")");
}

void compare_loading(const SceneFacts& source, const SceneFacts& output, Verdict& verdict) {
    std::multimap<std::pair<std::string, std::string>, bool> loaded;
    for (const Reference& r : output.references) loaded.emplace(std::make_pair(without_copy_number(r.path), r.name_space), r.loaded);
    for (const Reference& r : source.references) {
        auto found = loaded.find({without_copy_number(r.path), r.name_space});
        if (found == loaded.end()) continue;
        if (found->second != r.loaded) {
            verdict.notes.push_back("reference " + reference_text(r.path, r.name_space) + ": " +
                                    (r.loaded ? "loaded" : "deferred") + " in the source, " +
                                    (found->second ? "loaded" : "deferred") + " in the output");
        }
        loaded.erase(found);
    }
}

// Whether a file's references can be told: always in Maya ASCII; in Maya
// Binary only where it shows references in the one layout velmora knows
// (FREF groups, seen in Maya 2009 files): a file showing none may keep them
// in another.
bool references_known(const SceneFacts& facts) {
    return facts.format == Format::MayaAscii || !facts.references.empty();
}

// Whether the references were compared.
bool compare_references(const SceneFacts& source, const SceneFacts& output, Verdict& verdict) {
    if (source.format == Format::Fbx) return true;  // an FBX file has no Maya references to lose
    static const char kWhy[] = " is Maya Binary with no reference in the layout velmora knows (from Maya 2009 files)";
    if (!references_known(source)) {
        verdict.not_checked.push_back(std::string("the references: the source") + kWhy);
        return false;
    }
    if (source.references.empty()) return true;  // nothing to lose: opening and saving adds no reference
    if (!references_known(output)) {
        verdict.not_checked.push_back("the source's " + counted(source.references.size(), "reference", "references") +
                                      ": the output" + kWhy);
        return false;
    }
    std::multiset<std::pair<std::string, std::string>> left;
    for (const Reference& r : source.references) left.emplace(without_copy_number(r.path), r.name_space);
    std::vector<std::string> extra;
    for (const Reference& r : output.references) {
        auto same = left.find({without_copy_number(r.path), r.name_space});
        if (same != left.end()) {
            left.erase(same);
        } else {
            extra.push_back(reference_text(r.path, r.name_space));
        }
    }
    if (!left.empty()) {
        std::vector<std::string> missing;
        for (const auto& [path, name_space] : left) missing.push_back(reference_text(path, name_space));
        verdict.differences.push_back(thousands(missing.size()) + " of " +
                                      counted(source.references.size(), "reference", "references") +
                                      " missing: " + listed(missing));
    }
    if (!extra.empty()) {
        verdict.differences.push_back(counted(extra.size(), "reference", "references") +
                                      " not in the source: " + listed(extra));
    }
    compare_loading(source, output, verdict);
    return true;
}

void compare_unit(const char* kind, const std::string& source, const std::string& output, Verdict& verdict) {
    if (source.empty() || output.empty()) {
        verdict.not_checked.push_back(std::string("the ") + kind + " unit: the " +
                                      (source.empty() ? (output.empty() ? "source and the output do" : "source does")
                                                      : "output does") +
                                      " not say it");
    } else if (source != output) {
        verdict.differences.push_back(std::string(kind) + " unit: " + source + " in the source, " + output +
                                      " in the output");
    }
}

bool close(double a, double b) {
    return std::fabs(a - b) <= 1e-6 * std::max({1.0, std::fabs(a), std::fabs(b)});
}

std::string range_text(const Playback& p) {
    return number(p.min) + " to " + number(p.max) + " (animation " + number(p.ast) + " to " + number(p.aet) + ")";
}

// Whether the ranges differ.
bool compare_playback(const SceneFacts& source, const SceneFacts& output, Verdict& verdict) {
    if (!source.playback) return false;
    const Playback& s = *source.playback;
    if (!output.playback) {
        verdict.differences.push_back("playback range: " + range_text(s) + " in the source, none in the output");
        return true;
    }
    const Playback& o = *output.playback;
    if (!(close(s.min, o.min) && close(s.max, o.max) && close(s.ast, o.ast) && close(s.aet, o.aet))) {
        verdict.differences.push_back("playback range: " + range_text(s) + " in the source, " + range_text(o) +
                                      " in the output");
        return true;
    }
    return false;
}

// The node whose text sets the playback range, as the readers take it.
bool scene_configuration(const ScriptNode& node) {
    return node.type == 6 || (!node.type && node.name == "sceneConfigurationScriptNode");
}

std::string short_hash(const std::string& sha) { return sha.substr(0, 12); }

// Script nodes by name, their texts by hash. A script node lost altogether
// is a lost node, said once by compare_nodes; the scene configuration
// node's text, when the range it sets differs, by compare_playback.
void compare_scripts(const SceneFacts& source, const SceneFacts& output, bool range_differs, Verdict& verdict) {
    std::map<std::string, std::vector<std::string>> before, after;
    std::set<std::string> said;
    for (const ScriptNode& s : source.script_nodes) {
        before[last_part(s.name)].push_back(s.sha256);
        if (range_differs && scene_configuration(s)) said.insert(last_part(s.name));
    }
    for (const ScriptNode& s : output.script_nodes) after[last_part(s.name)].push_back(s.sha256);
    std::set<std::string> output_names;
    for (const Node& node : output.nodes) output_names.insert(last_part(node.name));
    for (const auto& [name, hashes] : before) {
        std::multiset<std::string> left(hashes.begin(), hashes.end());
        std::vector<std::string> right;
        for (const std::string& sha : after[name]) {
            auto same = left.find(sha);
            if (same != left.end() && !sha.empty()) {
                left.erase(same);
            } else {
                right.push_back(sha);
            }
        }
        auto other = right.begin();
        for (const std::string& sha : left) {
            if (other == right.end()) {
                if (after[name].empty() && output_names.count(name) > 0) {
                    verdict.differences.push_back("script node " + name + ": no script node of that name in the output");
                }
                break;
            }
            if (sha.empty() || other->empty()) {
                verdict.not_checked.push_back("script node " + name + "'s text: not hashed in the " +
                                              (sha.empty() ? "source" : "output"));
            } else if (said.count(name) == 0) {
                verdict.differences.push_back("script node " + name + ": its text differs (sha256 " + short_hash(sha) +
                                              "... in the source, " + short_hash(*other) + "... in the output)");
            }
            ++other;
        }
    }
    std::vector<std::string> added;
    for (const auto& [name, hashes] : after) {
        std::size_t had = before.count(name) > 0 ? before[name].size() : 0;
        // Maya writes its own configuration nodes into every scene it saves.
        bool mayas_own = name == "sceneConfigurationScriptNode" || name == "uiConfigurationScriptNode";
        if (hashes.size() > had && !mayas_own) added.push_back(name);
    }
    if (!added.empty()) verdict.notes.push_back("script nodes only in the output: " + listed(added));
}

void read_whole(const SceneFacts& source, const SceneFacts& output, Verdict& verdict) {
    if (!output.problems.empty()) {
        verdict.differences.push_back("the output was not read whole: " + output.problems.front() +
                                      (output.problems.size() > 1
                                           ? " (and " + counted(output.problems.size() - 1, "more problem", "more problems") + ")"
                                           : std::string()));
    }
    if (!source.problems.empty()) {
        verdict.not_checked.push_back("what the source holds past its first problem: " + source.problems.front());
    }
}

}  // namespace

std::string Verdict::reason() const {
    if (differences.empty()) {
        std::string text = "verified: " + checked;
        if (!not_checked.empty()) text += "; " + counted(not_checked.size(), "part", "parts") + " not checked";
        return text;
    }
    std::string text;
    std::size_t shown = std::min(differences.size(), kDifferencesInReason);
    for (std::size_t i = 0; i < shown; ++i) {
        if (i > 0) text += "; ";
        text += differences[i];
    }
    if (differences.size() > shown) {
        text += "; and " + counted(differences.size() - shown, "more difference", "more differences");
    }
    return text;
}

Verdict verify_output(const SceneFacts& source, const SceneFacts& output) {
    Verdict verdict;
    if (output.format == Format::Fbx) {
        verdict.differences.emplace_back("the output is an FBX file, not a Maya scene");
        return verdict;
    }
    compare_nodes(source, output, verdict);
    bool references = compare_references(source, output, verdict);
    compare_unit("time", source.units.time, output.units.time, verdict);
    compare_unit("linear", source.units.linear, output.units.linear, verdict);
    compare_unit("angle", source.units.angle, output.units.angle, verdict);
    bool range_differs = compare_playback(source, output, verdict);
    compare_scripts(source, output, range_differs, verdict);
    read_whole(source, output, verdict);
    verdict.checked = counted(source.nodes.size(), "node", "nodes") + ", " +
                      (references ? counted(source.references.size(), "reference", "references") + ", " : "") +
                      counted(source.script_nodes.size(), "script node", "script nodes") +
                      (source.playback ? ", the units and the playback range" : ", the units") + " as in the source";
    return verdict;
}

Verdict verify_fbx(const SceneFacts& output, std::optional<std::string> expected_version) {
    Verdict verdict;
    if (output.format != Format::Fbx) {
        verdict.differences.push_back(std::string("not an FBX file: the output is ") + format_name(output.format));
        return verdict;
    }
    for (const std::string& problem : output.problems) {
        verdict.differences.push_back("the FBX header is not whole: " + problem);
    }
    if (output.version.empty()) {
        if (output.problems.empty()) verdict.differences.emplace_back("the FBX header gives no version");
    } else if (!expected_version) {
        verdict.not_checked.emplace_back("the FBX version: no file version is known for the exporter's choice");
    } else if (output.version != *expected_version) {
        verdict.differences.push_back("FBX version " + output.version + ", where the exporter's choice writes " +
                                      *expected_version);
    }
    verdict.checked = "an FBX header" + (output.version.empty() ? std::string() : ", version " + output.version);
    return verdict;
}

std::optional<std::string> fbx_file_version(std::string_view exporter_choice) {
    static constexpr std::pair<std::string_view, std::string_view> kVersions[] = {
        {"FBX202000", "7700"}, {"FBX201900", "7700"}, {"FBX201800", "7500"}, {"FBX201600", "7500"},
        {"FBX201400", "7400"}, {"FBX201300", "7300"}, {"FBX201200", "7200"}, {"FBX201100", "7100"},
        {"FBX201000", "6100"}, {"FBX200900", "6100"}, {"FBX200611", "6100"},
    };
    for (const auto& [choice, version] : kVersions) {
        if (choice == exporter_choice) return std::string(version);
    }
    return std::nullopt;
}

}  // namespace velmora::scene
