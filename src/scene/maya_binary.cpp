// The Maya Binary reader: an IFF walk over chunk headers, reading only the
// few chunks that hold facts (the header, each node's CREA, script node
// texts, file paths, references) and seeking past everything else, so its
// cost is close to that of the headers alone.
//
// The layout, as the real files show it (big-endian):
//   FOR8 files: a chunk is tag(4) padding(4, never read) size(8); groups
//   FOR8/LIS8/CAT8; a data chunk's data is padded to a multiple of 8.
//   FOR4 files: tag(4) size(4); groups FOR4/LIS4/CAT4; data padded to 4.
//   A group's size covers its 4-byte type and its children; nothing pads a
//   group. The file is one group of type "Maya".
#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

#include "scene/playback.hpp"
#include "scene/sha256.hpp"
#include "scene/source.hpp"
#include "scene/text.hpp"

namespace velmora::scene {
namespace {

constexpr std::size_t kMaxDepth = 64;                // groups inside groups, the scene's own included
constexpr std::size_t kMaxSmallChunk = std::size_t{64} * 1024;  // names, header strings, references, paths
constexpr std::size_t kAttributePeek = 256;          // enough for an attribute's short name
constexpr std::size_t kWindow = std::size_t{64} * 1024;  // bytes read ahead at a time

constexpr std::uint32_t tag(const char (&text)[5]) {
    return (static_cast<std::uint32_t>(static_cast<unsigned char>(text[0])) << 24) |
           (static_cast<std::uint32_t>(static_cast<unsigned char>(text[1])) << 16) |
           (static_cast<std::uint32_t>(static_cast<unsigned char>(text[2])) << 8) |
           static_cast<std::uint32_t>(static_cast<unsigned char>(text[3]));
}

std::uint64_t big_endian(const char* bytes, std::size_t count) {
    std::uint64_t value = 0;
    for (std::size_t i = 0; i < count; ++i) value = (value << 8) | static_cast<unsigned char>(bytes[i]);
    return value;
}

std::string hex_of(std::uint32_t value) {
    static const char kHex[] = "0123456789abcdef";
    std::string hex(8, '0');
    for (int i = 0; i < 8; ++i) hex[static_cast<std::size_t>(i)] = kHex[(value >> (28 - 4 * i)) & 0xF];
    return hex;
}

// A tag as text when its four bytes are printable, else as 8 hex digits
// (a plug-in node's type id).
std::string tag_text(std::uint32_t value) {
    std::string text(4, ' ');
    bool printable = true;
    for (int i = 0; i < 4; ++i) {
        auto byte = static_cast<unsigned char>(value >> (24 - 8 * i));
        text[static_cast<std::size_t>(i)] = static_cast<char>(byte);
        printable = printable && byte >= 0x20 && byte < 0x7f;
    }
    return printable ? text : hex_of(value);
}

// The text up to the first NUL (or the end).
std::string_view up_to_nul(std::string_view bytes) { return bytes.substr(0, bytes.find('\0')); }

// A Maya node name, or a DAG path of them: letters, digits, '_', ':' and '|'.
bool is_node_name(std::string_view text) {
    if (text.empty()) return false;
    for (char c : text) {
        bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' ||
                  c == ':' || c == '|';
        if (!ok) return false;
    }
    return true;
}

std::string_view last_path_part(std::string_view path) {
    std::size_t bar = path.rfind('|');
    return bar == std::string_view::npos ? path : path.substr(bar + 1);
}

// Reads through a window of the source, so that many small chunks cost one
// read call, and a chunk's data that is not needed costs none.
class Window {
  public:
    explicit Window(Source& source) : source_(source), buffer_(kWindow) {}

    // `count` bytes at `offset` into `into`; how many there were.
    std::size_t read(std::uint64_t offset, char* into, std::size_t count) {
        std::size_t done = 0;
        while (done < count) {
            std::uint64_t at = offset + done;
            if (at < start_ || at >= start_ + filled_) {
                if (!fill(at)) break;
            }
            std::size_t from = static_cast<std::size_t>(at - start_);
            std::size_t n = std::min(count - done, filled_ - from);
            std::memcpy(into + done, buffer_.data() + from, n);
            done += n;
        }
        return done;
    }

  private:
    bool fill(std::uint64_t at) {
        source_.seek(at);
        start_ = at;
        filled_ = 0;
        while (filled_ < buffer_.size()) {
            std::size_t n = source_.read(buffer_.data() + filled_, buffer_.size() - filled_);
            if (n == 0) break;
            filled_ += n;
        }
        return filled_ > 0;
    }

    Source& source_;
    std::vector<char> buffer_;
    std::uint64_t start_ = 0;
    std::size_t filled_ = 0;
};

// Node type tags, each read from the real files and matched to the type
// that a node of the same name has in the Maya ASCII scenes.
struct TagName {
    std::uint32_t tag;
    const char* name;
};
constexpr TagName kTypes[] = {
    {tag("XFRM"), "transform"},          {tag("DCAM"), "camera"},
    {tag("DMSH"), "mesh"},               {tag("NCRV"), "nurbsCurve"},
    {tag("JOIN"), "joint"},              {tag("SCRP"), "script"},
    {tag("RLLK"), "lightLinker"},        {tag("DPLM"), "displayLayerManager"},
    {tag("DSPL"), "displayLayer"},       {tag("RNLM"), "renderLayerManager"},
    {tag("RNDL"), "renderLayer"},        {tag("SDML"), "shapeEditorManager"},
    {tag("PSDM"), "poseInterpolatorManager"}, {tag("NCRC"), "makeNurbCircle"},
    {tag("FSCL"), "skinCluster"},        {tag("FMPT"), "tweak"},
    {tag("OBST"), "objectSet"},          {tag("GPID"), "groupId"},
    {tag("GRPP"), "groupParts"},         {tag("FPOS"), "dagPose"},
    {tag("PCUB"), "polyCube"},
};

const char* maya_type_of_tag(std::uint32_t value) {
    for (const TagName& known : kTypes) {
        if (known.tag == value) return known.name;
    }
    return nullptr;
}

// String attributes that hold a file's path: (node type, short name); an
// empty type for a short name that only file-naming attributes use.
struct FileAttribute {
    const char* type;
    const char* attribute;
};
constexpr FileAttribute kFileAttributes[] = {
    {"", "ftn"},              // file: fileTextureName
    {"imagePlane", "imn"},    // imageName (a camera's imn is no path)
    {"cacheFile", "cp"},      // cachePath
};

enum class Role { Scene, Head, Reference, Candidate, Node, Other };

struct Group {
    std::uint64_t begin;  // of its header
    std::uint64_t end;    // of its children
    std::uint32_t type;
    Role role;
    std::size_t node = 0;  // Role::Node: the index in facts.nodes
    bool clamped = false;  // its end is the file's end, not what its size said
};

// A script node's texts as they stream past: held up to kHeldScriptBytes,
// hashed whole.
struct ScriptText {
    std::string text;
    std::uint64_t at = 0, size = 0;  // the value's place in the file
    std::uint64_t bytes = 0;
    bool whole = true;
};

class Reader {
  public:
    Reader(Source& source, SceneFacts& facts) : window_(source), facts_(facts), file_size_(source.size()) {}

    void read() {
        start();
        while (!stack_.empty()) step();
        if (scene_excess_ > 0) truncated("the scene's group", 0, scene_excess_);
    }

  private:
    void start() {
        char first[20];
        std::size_t got = window_.read(0, first, sizeof first);
        if (got == 0) throw NotAScene("an empty file");
        std::string_view head(first, got);
        if (head.substr(0, 4) == "FOR8") {
            wide_ = true;
        } else if (head.substr(0, 4) != "FOR4") {
            throw NotAScene("not a Maya Binary scene: it does not start with an IFF group");
        }
        header_ = wide_ ? 16 : 8;
        align_ = wide_ ? 8 : 4;
        if (got < header_ + 4) throw NotAScene("not a Maya Binary scene: an IFF file cut before its type");
        if (head.substr(header_, 4) != "Maya") {
            throw NotAScene("not a Maya Binary scene: an IFF file of type \"" +
                            tag_text(static_cast<std::uint32_t>(big_endian(first + header_, 4))) + "\"");
        }
        std::uint64_t size = wide_ ? big_endian(first + 8, 8) : big_endian(first + 4, 4);
        Group scene{0, 0, tag("Maya"), Role::Scene};
        std::uint64_t room = file_size_ - header_;
        if (size < 4) {
            problem("at byte 0: the scene's group claims " + thousands(size) + " bytes, too few for its type");
            size = 4;
        }
        if (size > room) {
            // Said at the end if no chunk inside shows where the file was cut.
            scene_excess_ = size - room;
            size = room;
            scene.clamped = true;
        } else if (size < room) {
            problem("at byte " + thousands(header_ + size) + ": " + thousands(room - size) +
                    " bytes after the end of the scene's group, not read");
        }
        scene.end = header_ + size;
        stack_.push_back(scene);
        at_ = header_ + 4;
    }

    void step() {
        Group& group = stack_.back();
        if (at_ >= group.end) {
            close(group);
            stack_.pop_back();
            return;
        }
        std::uint64_t room = group.end - at_;
        if (room < header_) {
            problem("at byte " + thousands(at_) + ": " + thousands(room) + " bytes left in group " +
                    tag_text(group.type) + ", too few for a chunk header");
            at_ = group.end;
            return;
        }
        char head[16];
        if (window_.read(at_, head, header_) < header_) {
            truncated("a chunk header", at_, header_);
            at_ = group.end;
            return;
        }
        auto chunk_tag = static_cast<std::uint32_t>(big_endian(head, 4));
        std::uint64_t size = wide_ ? big_endian(head + 8, 8) : big_endian(head + 4, 4);
        if (is_group(chunk_tag)) {
            open(chunk_tag, size);
        } else {
            data(chunk_tag, size);
        }
    }

    bool is_group(std::uint32_t value) const {
        if (wide_) return value == tag("FOR8") || value == tag("LIS8") || value == tag("CAT8");
        return value == tag("FOR4") || value == tag("LIS4") || value == tag("CAT4");
    }

    void open(std::uint32_t group_tag, std::uint64_t size) {
        const Group& parent = stack_.back();
        std::uint64_t begin = at_;
        std::uint64_t body = at_ + header_;
        std::uint64_t room = parent.end - body;
        std::string what = "group " + tag_text(group_tag);
        if (size < 4 || room < 4) {
            problem("at byte " + thousands(begin) + ": " + what + " has no room for its type");
            at_ = parent.end;
            return;
        }
        bool clamped = false;
        if (size > room) {
            // A group cut by the file's end is said by the chunk inside it
            // that shows the cut (or at the end, by the scene's group).
            if (!parent.clamped) past_end(what, begin, size - room, parent);
            size = room;
            clamped = parent.clamped;
        }
        if (stack_.size() >= kMaxDepth) {
            if (!too_deep_) problem("at byte " + thousands(begin) + ": groups nested more than " +
                                    std::to_string(kMaxDepth) + " deep; the deeper ones are not read");
            too_deep_ = true;
            at_ = body + size;
            return;
        }
        char type_bytes[4];
        if (window_.read(body, type_bytes, 4) < 4) {
            truncated(what, begin, 4);
            at_ = parent.end;
            return;
        }
        auto type = static_cast<std::uint32_t>(big_endian(type_bytes, 4));
        Group group{begin, body + size, type, role_of(parent, type), 0, clamped};
        stack_.push_back(group);
        at_ = body + 4;
    }

    static Role role_of(const Group& parent, std::uint32_t type) {
        if (parent.role == Role::Scene) {
            if (type == tag("HEAD")) return Role::Head;
            if (type == tag("FREF")) return Role::Reference;
            return Role::Candidate;
        }
        return Role::Other;
    }

    void data(std::uint32_t chunk_tag, std::uint64_t size) {
        Group& group = stack_.back();
        std::uint64_t begin = at_;
        std::uint64_t body = at_ + header_;
        std::uint64_t room = group.end - body;
        if (size > room) {
            past_end("chunk " + tag_text(chunk_tag), begin, size - room, group);
            at_ = group.end;
            if (group.role == Role::Candidate) group.role = Role::Other;
            return;
        }
        handle(group, chunk_tag, body, size);
        std::uint64_t padded = size + (align_ - size % align_) % align_;
        at_ = body + std::min(padded, room);
    }

    void handle(Group& group, std::uint32_t chunk_tag, std::uint64_t body, std::uint64_t size) {
        switch (group.role) {
            case Role::Head: head_chunk(chunk_tag, body, size); break;
            case Role::Reference:
                if (chunk_tag == tag("FREF")) reference(body, size);
                break;
            case Role::Candidate:
                if (chunk_tag == tag("CREA")) {
                    create(group, body, size);
                } else {
                    group.role = Role::Other;
                }
                break;
            case Role::Node: node_chunk(group, chunk_tag, body, size); break;
            case Role::Scene:
            case Role::Other: break;
        }
    }

    // ---- what the chunks say ----

    // A chunk's data, up to `cap` bytes; a problem when it was longer.
    std::string small(std::uint32_t chunk_tag, std::uint64_t body, std::uint64_t size,
                      std::size_t cap = kMaxSmallChunk) {
        std::size_t count = static_cast<std::size_t>(std::min<std::uint64_t>(size, cap));
        std::string bytes(count, '\0');
        std::size_t got = window_.read(body, bytes.data(), count);
        bytes.resize(got);
        if (size > cap && cap == kMaxSmallChunk) {
            problem("at byte " + thousands(body - header_) + ": chunk " + tag_text(chunk_tag) + " holds " +
                    thousands(size) + " bytes; only the first " + thousands(cap) + " are read");
        }
        return bytes;
    }

    void head_chunk(std::uint32_t chunk_tag, std::uint64_t body, std::uint64_t size) {
        if (chunk_tag == tag("VERS")) {
            if (facts_.version.empty()) facts_.version = std::string(up_to_nul(small(chunk_tag, body, size)));
        } else if (chunk_tag == tag("LUNI")) {
            facts_.units.linear = std::string(up_to_nul(small(chunk_tag, body, size)));
        } else if (chunk_tag == tag("AUNI")) {
            facts_.units.angle = std::string(up_to_nul(small(chunk_tag, body, size)));
        } else if (chunk_tag == tag("TUNI")) {
            facts_.units.time = std::string(up_to_nul(small(chunk_tag, body, size)));
        } else if (chunk_tag == tag("FINF") || chunk_tag == tag("PLUG")) {
            std::string bytes = small(chunk_tag, body, size);
            std::string_view first = up_to_nul(bytes);
            std::string_view rest = std::string_view(bytes).substr(std::min(bytes.size(), first.size() + 1));
            std::pair<std::string, std::string> pair{std::string(first), std::string(up_to_nul(rest))};
            if (chunk_tag == tag("FINF")) {
                facts_.file_info.push_back(std::move(pair));
            } else if (pair.first != "maya") {
                facts_.requires_plugins.push_back(std::move(pair));
            }
        }
    }

    // path NUL, namespace NUL, two bytes, reference node NUL.
    void reference(std::uint64_t body, std::uint64_t size) {
        std::string bytes = small(tag("FREF"), body, size);
        std::string_view rest(bytes);
        Reference found;
        std::size_t nul = rest.find('\0');
        std::size_t second = nul == std::string_view::npos ? nul : rest.find('\0', nul + 1);
        if (second == std::string_view::npos || second + 3 > rest.size()) {
            problem("at byte " + thousands(body - header_) + ": a reference chunk FREF of " + thousands(size) +
                    " bytes that does not hold a path, a namespace and a reference node");
            return;
        }
        found.path = std::string(rest.substr(0, nul));
        found.name_space = std::string(rest.substr(nul + 1, second - nul - 1));
        found.node = std::string(up_to_nul(rest.substr(second + 3)));
        // Whether Maya loads it is not told apart by any byte we understand
        // (the two bytes after the namespace were 01 01 in every file seen).
        found.loaded = true;
        facts_.references.push_back(std::move(found));
    }

    // A flags byte, the node's name NUL, then (for a DAG node under a
    // parent) the parent's name NUL, then bytes not understood.
    void create(Group& group, std::uint64_t body, std::uint64_t size) {
        std::string bytes = small(tag("CREA"), body, size);
        std::string_view rest(bytes);
        if (rest.empty()) {
            problem("at byte " + thousands(body - header_) + ": an empty chunk CREA");
            group.role = Role::Other;
            return;
        }
        auto flags = static_cast<unsigned char>(rest[0]);
        rest.remove_prefix(1);
        Node node;
        node.type = type_name(group.type);
        node.name = std::string(up_to_nul(rest));
        rest.remove_prefix(std::min(rest.size(), node.name.size() + 1));
        node.parent = parent_of(flags, rest);
        names_.insert(node.name);
        group.role = Role::Node;
        group.node = facts_.nodes.size();
        facts_.nodes.push_back(std::move(node));
        if (group.type == tag("SCRP")) {
            facts_.script_nodes.emplace_back();
            facts_.script_nodes.back().name = facts_.nodes.back().name;
            before_ = ScriptText{};
            after_ = ScriptText{};
        }
    }

    // In the files seen, bit 0x80 of the flags is clear exactly when a
    // parent's name follows the node's; and a parent is created before its
    // children. A parent is taken only when both agree; where they do not,
    // the file's parents are marked unknown rather than guessed.
    std::string parent_of(unsigned char flags, std::string_view rest) {
        std::string_view candidate = rest.substr(0, rest.find('\0'));
        bool named = candidate.size() < rest.size() && is_node_name(candidate) &&
                     (names_.count(std::string(candidate)) > 0 ||
                      names_.count(std::string(last_path_part(candidate))) > 0);
        bool says_parent = (flags & 0x80) == 0;
        if (says_parent && named) return std::string(candidate);
        if (!says_parent && !named) return {};
        facts_.parents_known = false;
        return {};
    }

    void node_chunk(const Group& group, std::uint32_t chunk_tag, std::uint64_t body, std::uint64_t size) {
        bool script = group.type == tag("SCRP");
        if (chunk_tag == tag("STR ")) {
            string_attribute(group, script, body, size);
        } else if (script && chunk_tag == tag("DBLE")) {
            double_attribute(body, size);
        }
    }

    // An attribute chunk: short name NUL, a flags byte, then the value.
    void string_attribute(const Group& group, bool script, std::uint64_t body, std::uint64_t size) {
        std::string peek = small(tag("STR "), body, size, kAttributePeek);
        std::size_t nul = peek.find('\0');
        if (nul == std::string::npos || nul + 2 > size) return;
        std::string_view name(peek.data(), nul);
        std::uint64_t value = body + nul + 2;
        std::uint64_t value_size = size - nul - 2;
        if (script && (name == "b" || name == "a")) {
            (name == "b" ? before_ : after_) = script_text(value, value_size);
        } else if (names_file(group.type, name)) {
            std::string path(up_to_nul(small(tag("STR "), value, value_size)));
            if (!path.empty()) {
                facts_.external_files.push_back({facts_.nodes[group.node].name, std::string(name), path});
            }
        }
    }

    // Calls `take` with the pieces of a string value (up to its NUL).
    template <typename Take>
    void stream(std::uint64_t at, std::uint64_t size, Take take) {
        std::array<char, 16 * 1024> piece{};
        std::uint64_t end = at + size;
        while (at < end) {
            auto count = static_cast<std::size_t>(std::min<std::uint64_t>(piece.size(), end - at));
            std::size_t got = window_.read(at, piece.data(), count);
            std::string_view part = up_to_nul(std::string_view(piece.data(), got));
            take(part);
            if (part.size() < count) break;
            at += got;
        }
    }

    ScriptText script_text(std::uint64_t at, std::uint64_t size) {
        ScriptText text;
        text.at = at;
        text.size = size;
        stream(at, size, [&text](std::string_view part) {
            text.bytes += part.size();
            std::size_t room = kHeldScriptBytes - std::min(kHeldScriptBytes, text.text.size());
            if (part.size() > room) text.whole = false;
            text.text.append(part.data(), std::min(room, part.size()));
        });
        return text;
    }

    void double_attribute(std::uint64_t body, std::uint64_t size) {
        std::string bytes = small(tag("DBLE"), body, size, 64);
        std::size_t nul = bytes.find('\0');
        if (nul == std::string::npos || nul + 2 + 8 > bytes.size()) return;
        std::string_view name(bytes.data(), nul);
        std::uint64_t raw = big_endian(bytes.data() + nul + 2, 8);
        double value = 0;
        std::memcpy(&value, &raw, sizeof value);
        ScriptNode& script = facts_.script_nodes.back();
        if (name == "st") {
            if (value >= -1e6 && value <= 1e6) script.type = static_cast<int>(value);
        } else if (name == "stp") {
            script.python = value == 1.0;
        }
    }

    // A script node's texts into its entry when its group ends.
    void close(const Group& group) {
        if (group.role != Role::Node || group.type != tag("SCRP")) return;
        ScriptNode& script = facts_.script_nodes.back();
        script.before = before_.text;
        script.after = after_.text;
        script.held_whole = before_.whole && after_.whole;
        script.bytes = before_.bytes + after_.bytes;
        Sha256 hash;
        hash_into(hash, before_);
        hash_into(hash, after_);
        script.sha256 = hash.hex();
        // The scene configuration node: of its type, or so named when it
        // does not say its type.
        if (script.type == 6 || (!script.type && script.name == "sceneConfigurationScriptNode")) {
            if (std::optional<Playback> range = playback_from(before_.text)) facts_.playback = range;
        }
    }

    // A text longer than what is held is read from the file once more.
    void hash_into(Sha256& hash, const ScriptText& text) {
        if (text.whole) {
            hash.update(text.text);
        } else {
            stream(text.at, text.size, [&hash](std::string_view part) { hash.update(part); });
        }
    }

    static bool names_file(std::uint32_t type, std::string_view attribute) {
        const char* known = maya_type_of_tag(type);
        for (const FileAttribute& entry : kFileAttributes) {
            if (attribute != entry.attribute) continue;
            if (entry.type[0] == '\0' || (known != nullptr && std::strcmp(known, entry.type) == 0)) return true;
        }
        return false;
    }

    static std::string type_name(std::uint32_t type) {
        const char* known = maya_type_of_tag(type);
        if (known != nullptr) return known;
        return hex_of(type);
    }

    // ---- problems ----

    void problem(std::string line) { facts_.problems.push_back(std::move(line)); }

    // The file ends before what a size promised: said once, at the first
    // place it shows.
    void truncated(const std::string& what, std::uint64_t begin, std::uint64_t excess) {
        if (truncation_told_) return;
        truncation_told_ = true;
        problem("truncated at byte " + thousands(file_size_) + ": " + what + " at byte " + thousands(begin) +
                " claims " + thousands(excess) + " bytes past the end of the file");
    }

    void past_end(const std::string& what, std::uint64_t begin, std::uint64_t excess, const Group& parent) {
        if (parent.clamped) {
            truncated(what, begin, excess);
            return;
        }
        problem("at byte " + thousands(begin) + ": " + what + " claims " + thousands(excess) +
                " bytes past the end of its group " + tag_text(parent.type) + " (at byte " +
                thousands(parent.begin) + ")");
    }

    Window window_;
    SceneFacts& facts_;
    std::uint64_t file_size_;
    bool wide_ = false;
    std::uint64_t header_ = 16;
    std::uint64_t align_ = 8;
    std::uint64_t at_ = 0;
    std::vector<Group> stack_;
    std::unordered_set<std::string> names_;
    ScriptText before_, after_;
    std::uint64_t scene_excess_ = 0;  // what the scene's group claims past the file's end
    bool too_deep_ = false;
    bool truncation_told_ = false;
};

}  // namespace

SceneFacts read_maya_binary(Source& source) {
    SceneFacts facts;
    facts.format = Format::MayaBinary;
    Reader(source, facts).read();
    return facts;
}

}  // namespace velmora::scene
