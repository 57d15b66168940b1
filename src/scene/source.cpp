// The file behind a reader, and the choice of reader by a file's first bytes.
#include "scene/source.hpp"

#include <cerrno>
#include <memory>
#include <system_error>

#if defined(_WIN32)
#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>
#else
#include <fcntl.h>
#include <unistd.h>
#endif

namespace velmora::scene {
namespace {

[[noreturn]] void fail(const char* what) { throw std::system_error(errno, std::generic_category(), what); }

// A file read in pieces of the reader's choosing (the readers ask for big
// blocks); the descriptor closes with the object.
class FileSource final : public Source {
  public:
#if defined(_WIN32)
    explicit FileSource(const std::wstring& path) : fd_(_wopen(path.c_str(), _O_RDONLY | _O_BINARY)) {
        if (fd_ < 0) fail("open");
        struct _stat64 st {};
        if (_fstat64(fd_, &st) != 0) fail("stat");
        size_ = static_cast<std::uint64_t>(st.st_size);
    }
    ~FileSource() override { _close(fd_); }
#else
    explicit FileSource(const std::string& path) : fd_(::open(path.c_str(), O_RDONLY | O_CLOEXEC)) {
        if (fd_ < 0) fail("open");
        // The size by seeking to the end, not fstat: fstat is a glibc 2.33
        // name, newer than the oldest glibc the module loads on.
        off_t end = ::lseek(fd_, 0, SEEK_END);
        if (end < 0 || ::lseek(fd_, 0, SEEK_SET) < 0) {
            int error = errno;
            ::close(fd_);
            errno = error;
            fail("seek");
        }
        size_ = static_cast<std::uint64_t>(end);
    }
    ~FileSource() override { ::close(fd_); }
#endif
    FileSource(const FileSource&) = delete;
    FileSource& operator=(const FileSource&) = delete;

    std::size_t read(char* into, std::size_t size) override {
        for (;;) {
#if defined(_WIN32)
            int n = _read(fd_, into, static_cast<unsigned>(std::min<std::size_t>(size, 1u << 30)));
#else
            ssize_t n = ::read(fd_, into, size);
#endif
            if (n >= 0) {
                at_ += static_cast<std::uint64_t>(n);
                return static_cast<std::size_t>(n);
            }
            if (errno != EINTR) fail("read");
        }
    }

    void seek(std::uint64_t offset) override {
#if defined(_WIN32)
        if (_lseeki64(fd_, static_cast<__int64>(offset), SEEK_SET) < 0) fail("seek");
#else
        if (::lseek(fd_, static_cast<off_t>(offset), SEEK_SET) < 0) fail("seek");
#endif
        at_ = offset;
    }
    std::uint64_t position() const override { return at_; }
    std::uint64_t size() const override { return size_; }

  private:
    int fd_;
    std::uint64_t size_ = 0;
    std::uint64_t at_ = 0;
};

bool starts_with(std::string_view text, std::string_view prefix) {
    return text.substr(0, prefix.size()) == prefix;
}

// The first bytes as a reason can show them: printable ASCII as it is,
// anything else as \xNN, so the line stays one line whatever the file holds.
std::string shown(std::string_view bytes) {
    static const char kHex[] = "0123456789abcdef";
    std::string out = "\"";
    for (char c : bytes.substr(0, 16)) {
        auto u = static_cast<unsigned char>(c);
        if (u >= 0x20 && u < 0x7f && c != '"' && c != '\\') {
            out += c;
        } else {
            out += "\\x";
            out += kHex[u >> 4];
            out += kHex[u & 0xf];
        }
    }
    out += bytes.size() > 16 ? "...\"" : "\"";
    return out;
}

// The IFF group that makes a Maya Binary file: FOR4 (a 4-byte size) or
// FOR8 (4 bytes of padding, an 8-byte size), then its type "Maya".
bool maya_iff(std::string_view bytes) {
    // substr throws when its start is past the end: a file of 5 to 15 bytes
    // starting FOR8 is no scene, not an internal error.
    if (starts_with(bytes, "FOR4")) return bytes.size() >= 12 && bytes.substr(8, 4) == "Maya";
    if (starts_with(bytes, "FOR8")) return bytes.size() >= 20 && bytes.substr(16, 4) == "Maya";
    return false;
}

SceneFacts read_by_format(Source& source) {
    char first[32];
    std::size_t got = 0;
    while (got < sizeof first) {
        std::size_t n = source.read(first + got, sizeof first - got);
        if (n == 0) break;
        got += n;
    }
    Format format = format_of(std::string_view(first, got));
    source.seek(0);
    switch (format) {
        case Format::MayaAscii: return read_maya_ascii(source);
        case Format::MayaBinary: return read_maya_binary(source);
        case Format::Fbx: return read_fbx_header(source);
    }
    throw NotAScene("an unknown format");
}

}  // namespace

const char* format_name(Format format) {
    switch (format) {
        case Format::MayaAscii: return "mayaAscii";
        case Format::MayaBinary: return "mayaBinary";
        case Format::Fbx: return "fbx";
    }
    return "unknown";
}

Format format_of(std::string_view first_bytes) {
    if (first_bytes.empty()) throw NotAScene("an empty file");
    if (starts_with(first_bytes, "//Maya ASCII")) return Format::MayaAscii;
    if (maya_iff(first_bytes)) return Format::MayaBinary;
    if (starts_with(first_bytes, "Kaydara FBX Binary  ") || starts_with(first_bytes, "; FBX ")) return Format::Fbx;
    if (starts_with(first_bytes, "FOR4") || starts_with(first_bytes, "FOR8")) {
        throw NotAScene("not a Maya or FBX scene: an IFF file that is not of type Maya");
    }
    throw NotAScene("not a Maya or FBX scene: it starts with " + shown(first_bytes));
}

std::string script_runs(std::optional<int> type) {
    // scriptNode -scriptType, in the words of Maya's documentation.
    static const char* const kRuns[] = {
        "demand",          "open/close",          "gui open/close",      "ui configuration",
        "software render", "software frame render", "scene configuration", "time changed",
    };
    int st = type.value_or(0);  // a node that never sets .st keeps the default, demand
    if (st >= 0 && st < 8) return kRuns[st];
    return "unknown (" + std::to_string(st) + ")";
}

SceneFacts read_scene(std::string_view bytes) {
    MemorySource source(bytes);
    return read_by_format(source);
}

#if defined(_WIN32)
SceneFacts read_scene_file(const std::wstring& path) {
#else
SceneFacts read_scene_file(const std::string& path) {
#endif
    FileSource source(path);
    return read_by_format(source);
}

}  // namespace velmora::scene
