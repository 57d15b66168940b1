// FBX: only the header, for the format's version. A binary file starts
// "Kaydara FBX Binary  " NUL 0x1a NUL and a little-endian 32-bit version;
// a text file's first line is "; FBX 7.5.0 project file".
#include <cstdint>
#include <string>
#include <string_view>

#include "scene/source.hpp"

namespace velmora::scene {
namespace {

constexpr std::string_view kBinaryMagic("Kaydara FBX Binary  \0\x1a\0", 23);
constexpr std::string_view kTextStart = "; FBX ";

std::string read_start(Source& source, std::size_t count) {
    std::string bytes(count, '\0');
    std::size_t got = 0;
    while (got < count) {
        std::size_t n = source.read(&bytes[got], count - got);
        if (n == 0) break;
        got += n;
    }
    bytes.resize(got);
    return bytes;
}

void binary_version(std::string_view bytes, SceneFacts& facts) {
    if (bytes.size() < kBinaryMagic.size() + 4) {
        facts.problems.push_back("truncated at byte " + std::to_string(bytes.size()) +
                                 ": the FBX header ends before its version");
        return;
    }
    if (bytes.substr(0, kBinaryMagic.size()) != kBinaryMagic) {
        facts.problems.push_back("at byte 20: the FBX header's marker bytes are not 00 1a 00");
    }
    std::uint32_t version = 0;
    for (int i = 3; i >= 0; --i) {
        version = (version << 8) | static_cast<unsigned char>(bytes[kBinaryMagic.size() + static_cast<std::size_t>(i)]);
    }
    facts.version = std::to_string(version);
}

// "; FBX 7.5.0 project file" -> "7500": the digits of the dotted version,
// each of its three parts one digit, then a 0, as the binary header writes it.
void text_version(std::string_view bytes, SceneFacts& facts) {
    std::string_view line = bytes.substr(0, bytes.find('\n'));
    std::string_view rest = line.substr(kTextStart.size());
    std::string digits;
    std::size_t at = 0;
    while (at < rest.size() && ((rest[at] >= '0' && rest[at] <= '9') || rest[at] == '.')) {
        if (rest[at] != '.') digits += rest[at];
        ++at;
    }
    std::size_t dots = 0;
    for (std::size_t i = 0; i < at; ++i) dots += rest[i] == '.';
    if (digits.size() != 3 || dots != 2) {
        facts.problems.push_back("at byte " + std::to_string(kTextStart.size()) +
                                 ": the FBX header's first line has no version of the form 7.5.0");
        return;
    }
    facts.version = digits + "0";
}

}  // namespace

SceneFacts read_fbx_header(Source& source) {
    std::string bytes = read_start(source, 256);
    SceneFacts facts;
    facts.format = Format::Fbx;
    std::string_view start(bytes);
    if (start.substr(0, 20) == kBinaryMagic.substr(0, 20)) {
        binary_version(start, facts);
    } else if (start.substr(0, kTextStart.size()) == kTextStart) {
        text_version(start, facts);
    } else {
        throw NotAScene(start.empty() ? "an empty file" : "not an FBX file: no FBX header");
    }
    return facts;
}

}  // namespace velmora::scene
