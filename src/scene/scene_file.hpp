// What velmora reads in a scene file by itself, without Maya: the facts a
// pipeline needs before converting (versions, units, plug-ins, references,
// nodes, script nodes, the files it names) and what could not be read.
//
// Plain C++ with no Python: it takes bytes or a path and returns a plain
// struct, so that it can be fuzzed and measured alone. Every file is taken
// as hostile: the reader never trusts a size field for an allocation,
// never recurses without a bound, and says what it could not read in
// `problems` instead of failing, unless the file is no scene at all.
#pragma once

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace velmora::scene {

enum class Format { MayaAscii, MayaBinary, Fbx };

// "mayaAscii", "mayaBinary", "fbx".
const char* format_name(Format format);

// A node the file creates, in file order. `parent` is empty when the node
// has none or when the file does not say (see parents_known).
struct Node {
    std::string type;  // Maya's type name; for an unknown binary tag, its 4 bytes as 8 hex digits
    std::string name;
    std::string parent;
    // Created with -s: Maya shares it with the node of that name every
    // scene already has (the default cameras, lightLinker1, a renderer's
    // globals) instead of making a new one.
    bool shared = false;
};

struct Reference {
    std::string path;       // as the file writes it
    std::string name_space;  // -ns; empty when none
    std::string node;       // the reference node, -rfn
    bool loaded = true;     // false for a deferred reference (-dr 1)
};

struct ScriptNode {
    std::string name;
    std::optional<int> type;   // .st: when Maya runs it (see script_runs)
    bool python = false;       // .stp 1
    std::uint64_t bytes = 0;   // of the before and after texts together
    std::string sha256;        // hex, of the before text followed by the after text
    std::string before;        // .b, held up to kHeldScriptBytes
    std::string after;         // .a, held up to kHeldScriptBytes
    bool held_whole = true;    // false when a text was longer than that
};

// When Maya runs a script node of type `st`, in Maya's own words
// ("demand", "open/close", "gui open/close", ...), or "unknown (st)".
std::string script_runs(std::optional<int> type);

struct Playback {
    double min = 0, max = 0, ast = 0, aet = 0;
};

// A string attribute that names a file: texture, cache, image plane, ...
struct ExternalFile {
    std::string node;
    std::string attribute;  // its short name as the file writes it, without the dot
    std::string path;
};

// Short names as Maya's `currentUnit -q` gives them: "cm", "deg", "film".
// Empty when the file does not say.
struct Units {
    std::string linear, angle, time;
};

struct SceneFacts {
    Format format = Format::MayaAscii;
    std::string version;  // the file's own text: "2018ff09", "2023"; for FBX, "7500"
    Units units;
    std::vector<std::pair<std::string, std::string>> requires_plugins;  // [plug-in, version], file order, no "maya"
    std::vector<Reference> references;
    std::vector<Node> nodes;
    bool parents_known = true;  // false where the layout gives no parent (parts of .mb)
    std::vector<ScriptNode> script_nodes;
    std::optional<Playback> playback;  // from the scene configuration node's playbackOptions
    std::vector<std::pair<std::string, std::string>> file_info;
    std::vector<ExternalFile> external_files;
    // Maya ASCII: the top-level commands other than those Maya writes into
    // scene files, each once, in file order (a hand-written or tampered
    // scene; Maya runs them all on open).
    std::vector<std::string> other_statements;
    std::vector<std::string> problems;  // one line each; empty when the file was read whole
};

constexpr std::size_t kHeldScriptBytes = 1 << 20;

// The file is not a scene of any format the reader knows: a one-line reason.
class NotAScene : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

// The format is told by the content, never by the name. Throws NotAScene.
SceneFacts read_scene(std::string_view bytes);

// The same from a file, read in pieces (a Maya ASCII file streamed, a Maya
// Binary file by its chunk headers, seeking past the data it does not
// need): memory does not grow with the file. Throws std::system_error
// (with the errno of the failure) when the file cannot be opened or read,
// and NotAScene.
#if defined(_WIN32)
SceneFacts read_scene_file(const std::wstring& path);
#else
SceneFacts read_scene_file(const std::string& path);  // the bytes of the name
#endif

}  // namespace velmora::scene
