// Maya ASCII: the MEL statements Maya writes into a scene file, read as
// data and never run. The statements that carry facts are taken apart;
// setAttr data is passed over unread unless it is a script node's text or
// one of the few attributes that name a file.
#include <algorithm>
#include <string_view>

#include "scene/mel_lexer.hpp"
#include "scene/playback.hpp"
#include "scene/source.hpp"
#include "scene/text.hpp"

namespace velmora::scene {
namespace {

constexpr std::size_t kMaxProblems = 100;
constexpr std::size_t kMaxOtherStatements = 200;
constexpr std::size_t kStatementTokens = 64;  // tokens of a statement that are looked at
constexpr std::string_view kHeader = "//Maya ASCII";

// The commands Maya itself writes at the top level of a scene file (seen in
// the files of Maya 2008 to 2026). Anything else is worth a caller's look.
constexpr std::string_view kUsualCommands[] = {
    "addAttr", "connectAttr", "createNode", "currentUnit", "dataStructure", "fileInfo", "lockNode",
    "parent",  "relationship", "rename",    "requires",    "select",        "setAttr",
};

// String attributes that hold a file's path, by the node type that has them:
// short and long names, as a file may write either.
struct FileAttribute {
    std::string_view node_type, short_name, long_name;
};
constexpr FileAttribute kFileAttributes[] = {
    {"file", "ftn", "fileTextureName"},  {"imagePlane", "imn", "imageName"}, {"cacheFile", "cp", "cachePath"},
    {"cacheFile", "cn", "cacheName"},    {"gpuCache", "cfn", "cacheFileName"}, {"AlembicNode", "fn", "abc_File"},
    {"audio", "f", "filename"},
};

// currentUnit's long names, and the short ones `currentUnit -q` answers.
constexpr std::pair<std::string_view, std::string_view> kLinearUnits[] = {
    {"millimeter", "mm"}, {"centimeter", "cm"}, {"meter", "m"}, {"kilometer", "km"},
    {"inch", "in"},       {"foot", "ft"},       {"yard", "yd"}, {"mile", "mi"},
};
constexpr std::pair<std::string_view, std::string_view> kAngleUnits[] = {{"degree", "deg"}, {"radian", "rad"}};

bool is_flag(const Token& t) {
    return t.kind == Kind::Word && t.text.size() > 1 && t.text[0] == '-' &&
           !(t.text[1] >= '0' && t.text[1] <= '9') && t.text[1] != '.';
}

bool flag_is(const Token& t, std::string_view short_name, std::string_view long_name) {
    std::string_view name = std::string_view(t.text).substr(1);
    return name == short_name || name == long_name;
}

std::optional<double> number(const Token& t) {
    if (t.kind != Kind::Word || t.text.size() > 64) return std::nullopt;
    return mel_number(t.text);
}

bool truthy_word(const std::string& text) { return text == "1" || text == "on" || text == "true" || text == "yes"; }

// What a setAttr of the current node carries that is kept.
enum class Target { None, Before, After, ScriptType, Language, File };

// A script node's hashes while its texts stream past: the before text's, and
// the two texts' together when the after text came after it.
struct ScriptHashes {
    Sha256 before;
    std::optional<std::string> both;
};

// Statements as tokens, up to kStatementTokens of them.
struct Statement {
    std::vector<Token> tokens;
    std::size_t count = 0;
    bool ended = false;
    const Token& operator[](std::size_t i) const { return tokens[i]; }
};

// The range a playbackOptions statement sets, from its arguments at `from`.
std::optional<Playback> playback_of(const Statement& s, std::size_t from) {
    std::vector<std::string_view> words;
    for (std::size_t i = from; i < s.count; ++i) {
        if (s[i].kind != Kind::Word) return std::nullopt;
        words.emplace_back(s[i].text);
    }
    return playback_of_flags(words);
}

class AsciiReader {
  public:
    explicit AsciiReader(Source& source) : in_(source), lex_(in_) {}

    SceneFacts read() {
        header();
        Token first;
        for (;;) {
            Kind kind = lex_.next(first);
            if (kind == Kind::Eof) {
                if (lex_.open_string_at() >= 0) truncated(first.at, "");
                break;
            }
            if (kind == Kind::End || (kind == Kind::Word && is_brace(first.text))) continue;
            std::uint64_t at = first.at;
            std::string command = first.kind == Kind::Word ? first.text : "\"" + first.text.substr(0, 40) + "\"";
            if (!statement(first)) {
                truncated(at, command);
                break;
            }
        }
        finish();
        return std::move(facts_);
    }

  private:
    void problem(std::string text) {
        // A problem is one line: a statement quoted from the file may hold
        // line breaks and other control bytes, shown escaped.
        std::string line;
        for (char c : text) {
            auto u = static_cast<unsigned char>(c);
            if (u < 0x20 || u == 0x7f) {
                static const char kHex[] = "0123456789abcdef";
                line += "\\x";
                line += kHex[u >> 4];
                line += kHex[u & 0xf];
            } else {
                line += c;
            }
        }
        text = std::move(line);
        if (facts_.problems.size() < kMaxProblems) {
            facts_.problems.push_back(std::move(text));
        } else if (facts_.problems.size() == kMaxProblems) {
            facts_.problems.emplace_back("more problems than these; the rest are not listed");
        }
    }

    void truncated(std::uint64_t at, const std::string& command) {
        std::string end = thousands(in_.offset());
        if (lex_.open_string_at() >= 0) {
            problem("truncated at byte " + end + ": a string that starts at byte " +
                    thousands(static_cast<std::uint64_t>(lex_.open_string_at())) + " has no closing quote");
        } else {
            problem("truncated at byte " + end + ": the statement " + command.substr(0, 40) + " at byte " +
                    thousands(at) + " has no ';'");
        }
    }

    void header() {
        std::string line;
        for (int c = in_.peek(); c >= 0 && c != '\n' && line.size() < 256; c = in_.peek()) {
            line += static_cast<char>(c);
            in_.advance();
        }
        // The rest of an overlong first line is still the comment.
        for (int c = in_.peek(); c >= 0 && c != '\n'; c = in_.peek()) in_.advance();
        if (line.compare(0, kHeader.size(), kHeader) != 0) {
            throw NotAScene("not a Maya ASCII scene: its first line is not //Maya ASCII");
        }
        std::string_view rest = std::string_view(line).substr(kHeader.size());
        std::size_t from = rest.find_first_not_of(" \t");
        if (from == std::string_view::npos) return;
        rest = rest.substr(from);
        facts_.version = std::string(rest.substr(0, rest.find_first_of(" \t\r")));
    }

    // Reads one statement whose first token is read; false when the input
    // ends before its ';'.
    bool statement(const Token& first) {
        if (first.kind != Kind::Word) return other(first.kind == Kind::String ? "\"" + first.text.substr(0, 40) + "\""
                                                                                : std::string("("));
        const std::string& command = first.text;
        if (command == "setAttr") return set_attribute();
        if (command == "createNode") return collect() && (create_node(), true);
        if (command == "requires") return collect() && (requires_plugin(), true);
        if (command == "currentUnit") return collect() && (current_unit(), true);
        if (command == "fileInfo") return collect() && (file_info(), true);
        if (command == "file") return collect() && (file(), true);
        if (command == "playbackOptions") return collect() && (playback_options(), true);
        if (std::find(std::begin(kUsualCommands), std::end(kUsualCommands), command) != std::end(kUsualCommands)) {
            return lex_.skip_statement();
        }
        return other(command);
    }

    bool other(const std::string& command) {
        note_other(command);
        return lex_.skip_statement();
    }

    void note_other(const std::string& command) {
        auto& seen = facts_.other_statements;
        if (seen.size() < kMaxOtherStatements && std::find(seen.begin(), seen.end(), command) == seen.end()) {
            seen.push_back(command.substr(0, 64));
        }
    }

    // The statement's tokens after its command, into statement_.
    bool collect() {
        Statement& s = statement_;
        s.count = 0;
        s.ended = false;
        for (;;) {
            if (s.count == kStatementTokens) return s.ended = lex_.skip_statement();
            if (s.tokens.size() == s.count) s.tokens.emplace_back();
            Token& t = s.tokens[s.count];
            Kind kind = lex_.next(t);
            if (kind == Kind::End) return s.ended = true;
            if (kind == Kind::Eof) return false;
            ++s.count;
        }
    }

    // The value of a flag at i, or empty.
    std::string value_after(std::size_t i) const {
        return i + 1 < statement_.count && !is_flag(statement_[i + 1]) ? statement_[i + 1].text : std::string();
    }

    void check_utf8(const std::string& text, std::uint64_t at, const char* what) {
        if (!is_utf8(text)) problem("byte " + thousands(at) + ": " + what + " that is not UTF-8");
    }

    void create_node() {
        const Statement& s = statement_;
        Node node;
        for (std::size_t i = 0; i < s.count; ++i) {
            if (is_flag(s[i])) {
                if (flag_is(s[i], "n", "name")) {
                    node.name = value_after(i++);
                } else if (flag_is(s[i], "p", "parent")) {
                    node.parent = value_after(i++);
                } else if (flag_is(s[i], "s", "shared")) {
                    node.shared = true;
                }
            } else if (node.type.empty()) {
                node.type = s[i].text;
            }
        }
        std::uint64_t at = s.count > 0 ? s[0].at : in_.offset();
        if (node.type.empty()) {
            problem("byte " + thousands(at) + ": a createNode without a node type");
            current_.clear();
            current_type_.clear();
            current_script_.reset();
            return;
        }
        check_utf8(node.type, at, "a node type");
        check_utf8(node.name, at, "a node name");
        check_utf8(node.parent, at, "a parent's name");
        current_type_ = node.type;
        current_script_.reset();
        if (node.type == "script") {
            current_script_ = facts_.script_nodes.size();
            facts_.script_nodes.push_back(ScriptNode{node.name, std::nullopt, false, 0, {}, {}, {}, true});
            hashes_.emplace_back();
            lengths_.emplace_back(0, 0);
            before_whole_.push_back(true);
            after_whole_.push_back(true);
        }
        current_ = node.name;
        facts_.nodes.push_back(std::move(node));
    }

    Target target_of(std::string_view attribute) const {
        if (attribute.size() < 2 || attribute[0] != '.' || current_type_.empty()) return Target::None;
        std::string_view name = attribute.substr(1);
        if (current_script_) {
            if (name == "b" || name == "before") return Target::Before;
            if (name == "a" || name == "after") return Target::After;
            if (name == "st" || name == "scriptType") return Target::ScriptType;
            if (name == "stp" || name == "sourceType") return Target::Language;
            return Target::None;
        }
        for (const FileAttribute& f : kFileAttributes) {
            if (f.node_type == current_type_ && (name == f.short_name || name == f.long_name)) return Target::File;
        }
        return Target::None;
    }

    // setAttr: the attribute's name is its first string; flags before it
    // (-k on, -s 3, -l on, ...) are passed over.
    bool set_attribute() {
        Token& t = scratch_;
        for (int i = 0; i < 16; ++i) {
            Kind kind = lex_.next(t);
            if (kind == Kind::End) return true;
            if (kind == Kind::Eof) return false;
            if (kind == Kind::String) break;
        }
        if (t.kind != Kind::String) return lex_.skip_statement();
        Target target = target_of(t.text);
        if (target == Target::None) return lex_.skip_statement();
        std::string attribute = t.text.substr(1);
        switch (target) {
            case Target::Before:
            case Target::After: return script_text(target == Target::Before);
            case Target::ScriptType:
            case Target::Language: return script_number(target);
            default: return file_attribute(attribute);
        }
    }

    // The string value of the setAttr being read: every string after the
    // attribute's name but -type's, joined (Maya writes a long one as
    // ("abc" + "def")), into the sink.
    bool string_value(StringSink& sink) {
        Token& t = scratch_;
        bool type_follows = false;
        for (;;) {
            Kind kind = lex_.next(t, type_follows ? nullptr : &sink);
            if (kind == Kind::End) return true;
            if (kind == Kind::Eof) return false;
            type_follows = kind == Kind::Word && (t.text == "-type" || t.text == "-typ");
        }
    }

    bool script_text(bool before) {
        std::size_t index = *current_script_;
        ScriptNode& node = facts_.script_nodes[index];
        ScriptHashes& hashes = hashes_[index];
        std::string& held = before ? node.before : node.after;
        held.clear();
        StringSink sink;
        sink.held = &held;
        sink.cap = kHeldScriptBytes;
        Sha256 hash = before ? Sha256() : hashes.before;
        sink.hash = &hash;
        bool ended = string_value(sink);
        (before ? lengths_[index].first : lengths_[index].second) = sink.bytes;
        (before ? before_whole_ : after_whole_)[index] = !sink.overflow;
        if (before) {
            hashes.before = hash;
            hashes.both.reset();  // the after text must be hashed after this one
        } else {
            hashes.both = hash.hex();
        }
        return ended;
    }

    bool script_number(Target target) {
        if (!collect()) return false;
        for (std::size_t i = 0; i < statement_.count; ++i) {
            std::optional<double> value = number(statement_[i]);
            if (!value) continue;
            if (target == Target::Language) {
                facts_.script_nodes[*current_script_].python = *value == 1;
            } else if (*value >= -1e9 && *value <= 1e9) {
                facts_.script_nodes[*current_script_].type = static_cast<int>(*value);
            }
            break;
        }
        return true;
    }

    bool file_attribute(const std::string& attribute) {
        std::string path;
        StringSink sink;
        sink.held = &path;
        sink.cap = Lexer::kTokenCap;
        std::uint64_t at = in_.offset();
        bool ended = string_value(sink);
        if (ended && !path.empty()) {
            check_utf8(path, at, "a file path");
            facts_.external_files.push_back(ExternalFile{current_, attribute, path});
        }
        return ended;
    }

    // requires [-nodeType x] [-dataType y] ... "plugin" "version"
    void requires_plugin() {
        const Statement& s = statement_;
        std::vector<const std::string*> words;
        for (std::size_t i = 0; i < s.count; ++i) {
            if (is_flag(s[i])) {
                ++i;  // its value: a node or data type the plug-in brings
            } else {
                words.push_back(&s[i].text);
            }
        }
        if (words.empty() || *words[0] == "maya") return;
        std::string version = words.size() > 1 ? *words[1] : std::string();
        check_utf8(*words[0], s[0].at, "a plug-in name");
        auto& plugins = facts_.requires_plugins;
        bool seen = std::any_of(plugins.begin(), plugins.end(), [&](const auto& p) { return p.first == *words[0]; });
        if (!seen) plugins.emplace_back(*words[0], version);
    }

    template <std::size_t N>
    void set_unit(std::string& unit, const std::string& written, const std::pair<std::string_view, std::string_view> (&names)[N],
                  const char* kind, std::uint64_t at) {
        for (const auto& [long_name, short_name] : names) {
            if (written == long_name || written == short_name) {
                unit = std::string(short_name);
                return;
            }
        }
        unit = written;
        problem("byte " + thousands(at) + ": an unknown " + kind + " unit \"" + written.substr(0, 40) + "\"");
    }

    void current_unit() {
        const Statement& s = statement_;
        for (std::size_t i = 0; i < s.count; ++i) {
            if (!is_flag(s[i]) || i + 1 >= s.count) continue;
            const std::string& value = s[i + 1].text;
            if (flag_is(s[i], "l", "linear")) {
                set_unit(facts_.units.linear, value, kLinearUnits, "linear", s[i].at);
            } else if (flag_is(s[i], "a", "angle")) {
                set_unit(facts_.units.angle, value, kAngleUnits, "angle", s[i].at);
            } else if (flag_is(s[i], "t", "time")) {
                facts_.units.time = value;  // Maya's time names are many: kept as written
            } else {
                continue;
            }
            ++i;
        }
    }

    void file_info() {
        const Statement& s = statement_;
        if (s.count >= 2) facts_.file_info.emplace_back(s[0].text, s[1].text);
    }

    // file -r ... "path": a reference. file -rdi ... is the same reference's
    // depth information; any other file statement is one Maya does not write.
    void file() {
        const Statement& s = statement_;
        Reference reference;
        bool is_reference = false, depth_info = false;
        for (std::size_t i = 0; i < s.count; ++i) {
            if (!is_flag(s[i])) continue;
            if (flag_is(s[i], "r", "reference")) {
                is_reference = true;
            } else if (flag_is(s[i], "rdi", "referenceDepthInfo")) {
                depth_info = true;
            } else if (flag_is(s[i], "ns", "namespace")) {
                reference.name_space = value_after(i);
            } else if (flag_is(s[i], "rfn", "referenceNode")) {
                reference.node = value_after(i);
            } else if (flag_is(s[i], "dr", "deferReference")) {
                reference.loaded = !truthy_word(value_after(i));
            }
        }
        if (!is_reference) {
            if (!depth_info) note_other("file");
            return;
        }
        if (s.count > 0 && s[s.count - 1].kind == Kind::String) reference.path = s[s.count - 1].text;
        check_utf8(reference.path, s.count > 0 ? s[0].at : 0, "a reference's path");
        facts_.references.push_back(std::move(reference));
    }

    void playback_options() {
        std::optional<Playback> range = playback_of(statement_, 0);
        if (range) {
            top_playback_ = range;
        } else {
            note_other("playbackOptions");
        }
    }

    void finish() {
        for (std::size_t i = 0; i < facts_.script_nodes.size(); ++i) finish_script(i);
        for (const ScriptNode& node : facts_.script_nodes) {
            if (node.type == 6 || (!node.type && node.name == "sceneConfigurationScriptNode")) {
                if (std::optional<Playback> range = playback_from(node.before)) facts_.playback = range;
            }
        }
        if (!facts_.playback) facts_.playback = top_playback_;
    }

    void finish_script(std::size_t i) {
        ScriptNode& node = facts_.script_nodes[i];
        node.bytes = lengths_[i].first + lengths_[i].second;
        node.held_whole = before_whole_[i] && after_whole_[i];
        if (hashes_[i].both) {
            node.sha256 = *hashes_[i].both;
        } else if (after_whole_[i]) {
            Sha256 hash = hashes_[i].before;
            hash.update(node.after);
            node.sha256 = hash.hex();
        } else {
            problem("script node " + node.name + ": its after text came before its before text and is too long to hash");
        }
    }

    Input in_;
    Lexer lex_;
    SceneFacts facts_;
    Statement statement_;
    Token scratch_;
    std::string current_;       // the node the setAttr statements apply to
    std::string current_type_;  // its type; empty before the first createNode
    std::optional<std::size_t> current_script_;
    std::vector<ScriptHashes> hashes_;
    std::vector<std::pair<std::uint64_t, std::uint64_t>> lengths_;
    std::vector<bool> before_whole_ = {}, after_whole_ = {};
    std::optional<Playback> top_playback_;
};

}  // namespace

SceneFacts read_maya_ascii(Source& source) {
    AsciiReader reader(source);
    return reader.read();
}

}  // namespace velmora::scene
