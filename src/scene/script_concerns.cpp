#include "scene/script_concerns.hpp"

#include <algorithm>
#include <string_view>

namespace velmora::scene {
namespace {

// In the order they are reported.
enum Concern : unsigned {
    WritesFiles,
    ImportsModules,
    LoadsPlugins,
    RunsPrograms,
    UsesOs,
    ReachesNetwork,
    EvaluatesStrings,
    AddsCallbacks,
    SourcesMel,
    EditsUserSetup,
    NotReadWhole,
    kConcerns
};

constexpr const char* kLabels[kConcerns] = {
    "writes files",       "imports modules",   "loads plug-ins", "runs programs", "uses the os module",
    "reaches the network", "evaluates strings", "adds callbacks", "sources MEL",   "edits user setup",
    "not read whole",
};

constexpr std::size_t kCallLook = 400;  // bytes of a call's arguments looked at for a file's mode

bool is_word_char(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_';
}

template <std::size_t N>
bool one_of(std::string_view word, const std::string_view (&words)[N]) {
    return std::find(std::begin(words), std::end(words), word) != std::end(words);
}

constexpr std::string_view kFileWriters[] = {
    "fopen", "fprint", "fwrite", "fwriteAllText", "fwriteAllLines", "sysFile", "shutil", "write_text", "write_bytes",
};
constexpr std::string_view kOsFileWriters[] = {
    "remove", "unlink", "rename", "renames", "replace", "makedirs", "mkdir", "rmdir", "removedirs", "chmod", "chown",
};
constexpr std::string_view kOsRunners[] = {
    "system", "popen", "startfile", "execv", "execve", "execl", "execle", "execlp", "execvp", "execvpe",
    "spawnv", "spawnve", "spawnl", "spawnle", "spawnlp", "spawnvp", "spawnvpe", "posix_spawn", "fork",
};
constexpr std::string_view kRunners[] = {"subprocess", "popen", "Popen", "startfile"};
constexpr std::string_view kNetwork[] = {"socket", "urllib", "urllib2", "urllib3", "httplib", "ftplib", "smtplib",
                                          "telnetlib", "requests", "webbrowser"};
constexpr std::string_view kEvaluators[] = {"eval", "evalDeferred", "evalEcho", "evalNoSelectNotify", "execfile",
                                             "runpy"};

// One word of the text and what stands around it.
struct Word {
    std::string_view text;
    char before;     // the byte before it, or 0
    char next;       // the first byte after it that is not a space or tab, or 0
    char statement;  // the last byte before it that is not a space or tab, or 0 (a line break counts)
    std::string_view previous;  // the word before it when a '.' joins them ("os" in os.remove)
};

char next_byte(std::string_view text, std::size_t at) {
    while (at < text.size() && (text[at] == ' ' || text[at] == '\t')) ++at;
    return at < text.size() ? text[at] : '\0';
}

char statement_byte(std::string_view text, std::size_t at) {
    while (at > 0 && (text[at - 1] == ' ' || text[at - 1] == '\t')) --at;
    return at > 0 ? text[at - 1] : '\0';
}

std::string_view word_before_dot(std::string_view text, std::size_t at) {
    if (at == 0 || text[at - 1] != '.') return {};
    std::size_t end = at - 1, begin = end;
    while (begin > 0 && is_word_char(text[begin - 1])) --begin;
    return text.substr(begin, end - begin);
}

// open(...) with a mode that writes: a short quoted literal of mode letters
// holding w, a, x or +.
bool opens_for_writing(std::string_view text, std::size_t after_name) {
    std::size_t at = text.find_first_not_of(" \t", after_name);
    if (at == std::string_view::npos || text[at] != '(') return false;
    std::string_view args = text.substr(at + 1, kCallLook);
    int depth = 0;  // the call's own arguments: open(os.path.join(a, b), "w")
    for (std::size_t i = 0; i < args.size(); ++i) {
        char quote = args[i];
        if (quote == '(') ++depth;
        if (quote == ')' && depth-- == 0) break;
        if (quote != '\'' && quote != '"') continue;
        std::size_t end = args.find(quote, i + 1);
        if (end == std::string_view::npos) break;
        std::string_view literal = args.substr(i + 1, end - i - 1);
        bool mode = !literal.empty() && literal.size() <= 4 &&
                    literal.find_first_not_of("rwaxbtU+") == std::string_view::npos;
        if (mode && literal.find_first_of("wax+") != std::string_view::npos) return true;
        i = end;
    }
    return false;
}

// MEL's `source file.mel` starts a statement; a flag or variable named
// so does not.
bool sources(const Word& w) {
    if (w.before == '-' || w.before == '$' || w.before == '.') return false;
    bool starts = w.statement == '\0' || w.statement == ';' || w.statement == '{' || w.statement == '}' ||
                  w.statement == '\n' || w.statement == '\r' || w.statement == '"' || w.statement == '\'' ||
                  w.statement == '(';
    return starts && w.next != '(' && w.next != '=' && w.next != ';' && w.next != '\0' && w.next != ')';
}

bool calls(const Word& w) { return w.next == '(' || w.next == '"'; }

void classify(const Word& w, bool python, std::string_view text, std::size_t end, bool (&found)[kConcerns]) {
    std::string_view word = w.text;
    if (w.previous == "os") {
        if (one_of(word, kOsFileWriters)) {
            found[WritesFiles] = true;
        } else if (one_of(word, kOsRunners)) {
            found[RunsPrograms] = true;
        } else {
            found[UsesOs] = true;
        }
        return;
    }
    if (one_of(word, kFileWriters) || (word == "open" && opens_for_writing(text, end))) found[WritesFiles] = true;
    if ((word == "import" && w.before != '-') || word == "__import__" || word == "importlib" ||
        (word == "python" && w.before != '-' && w.before != '$' && calls(w))) {
        found[ImportsModules] = true;
    }
    if (word == "loadPlugin") found[LoadsPlugins] = true;
    if (one_of(word, kRunners) || (word == "system" && w.before != '-' && w.before != '$' && calls(w))) {
        found[RunsPrograms] = true;
    }
    // MEL's exec runs a program; Python's runs a string as code.
    if (word == "exec" && w.before != '-' && w.before != '$') found[python ? EvaluatesStrings : RunsPrograms] = true;
    if (one_of(word, kNetwork) || (word == "http" && w.next == '.')) found[ReachesNetwork] = true;
    if (one_of(word, kEvaluators) && w.before != '-' && w.before != '$') found[EvaluatesStrings] = true;
    bool callback = word.size() > 11 && word.compare(0, 3, "add") == 0 &&
                    word.compare(word.size() - 8, 8, "Callback") == 0;
    if (word == "scriptJob" || word == "addCallback" || callback) found[AddsCallbacks] = true;
    if (word == "source" && sources(w)) found[SourcesMel] = true;
}

bool mentions_user_setup(std::string_view text) {
    static constexpr std::string_view kName = "usersetup";
    auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; };
    auto at = std::search(text.begin(), text.end(), kName.begin(), kName.end(),
                          [&](char a, char b) { return lower(a) == b; });
    return at != text.end();
}

void scan(std::string_view text, bool python, bool (&found)[kConcerns]) {
    std::size_t at = 0;
    while (at < text.size()) {
        if (!is_word_char(text[at])) {
            ++at;
            continue;
        }
        std::size_t begin = at;
        while (at < text.size() && is_word_char(text[at])) ++at;
        if (text[begin] >= '0' && text[begin] <= '9') continue;
        Word w{text.substr(begin, at - begin), begin > 0 ? text[begin - 1] : '\0', next_byte(text, at),
               statement_byte(text, begin), word_before_dot(text, begin)};
        classify(w, python, text, at, found);
    }
    if (mentions_user_setup(text)) found[EditsUserSetup] = true;
}

}  // namespace

std::vector<std::string> script_concerns(const ScriptNode& node) {
    bool found[kConcerns] = {};
    scan(node.before, node.python, found);
    scan(node.after, node.python, found);
    found[NotReadWhole] = !node.held_whole;
    std::vector<std::string> labels;
    for (unsigned i = 0; i < kConcerns; ++i) {
        if (found[i]) labels.emplace_back(kLabels[i]);
    }
    return labels;
}

}  // namespace velmora::scene
