#include "headless/columns.hpp"

#include "host/stdlib.hpp"

#include <unordered_map>

namespace velmora::headless {
namespace {

using py::Ref;

// One character of UTF-8 text: its code point and its bytes.
struct Character {
    char32_t code = 0;
    std::size_t size = 1;
    bool valid = false;
};

std::size_t sequence_length(unsigned char lead) {
    if (lead < 0x80) return 1;
    if ((lead & 0xE0) == 0xC0) return 2;
    if ((lead & 0xF0) == 0xE0) return 3;
    if ((lead & 0xF8) == 0xF0) return 4;
    return 0;
}

Character next_character(const std::string& text, std::size_t at) {
    auto lead = static_cast<unsigned char>(text[at]);
    std::size_t size = sequence_length(lead);
    if (size == 0 || at + size > text.size()) return {};
    char32_t code = size == 1 ? lead : lead & (0x7F >> size);
    for (std::size_t i = 1; i < size; ++i) {
        auto byte = static_cast<unsigned char>(text[at + i]);
        if ((byte & 0xC0) != 0x80) return {};
        code = (code << 6) | (byte & 0x3F);
    }
    // Only the shortest form of a character is UTF-8, and surrogates are
    // not characters.
    constexpr char32_t kSmallest[] = {0, 0, 0x80, 0x800, 0x10000};
    bool surrogate = code >= 0xD800 && code <= 0xDFFF;
    if (code < kSmallest[size] || surrogate || code > 0x10FFFF) return {};
    return {code, size, true};
}

bool is_control(char32_t c) { return c < 0x20 || (c >= 0x7F && c < 0xA0); }

// Python's Unicode database decides, asked once per character; past a
// bound nothing more is kept.
int columns_from_database(char32_t code) {
    static std::unordered_map<char32_t, int> known;
    auto found = known.find(code);
    if (found != known.end()) return found->second;
    Ref ch = py::check(PyUnicode_FromOrdinal(static_cast<int>(code)));
    Ref category = py::call(host::attribute("unicodedata", "category"), {ch});
    int columns = 1;
    if (py::equals(category, "Mn") || py::equals(category, "Me") || py::equals(category, "Cf")) {
        columns = 0;
    } else {
        Ref east_asian = py::call(host::attribute("unicodedata", "east_asian_width"), {ch});
        if (py::equals(east_asian, "W") || py::equals(east_asian, "F")) columns = 2;
    }
    if (known.size() < 4096) known.emplace(code, columns);
    return columns;
}

int columns_of(char32_t code) { return code < 0x80 ? 1 : columns_from_database(code); }

}  // namespace

std::string fit_columns(const std::string& line, std::size_t columns) {
    std::string shown;
    std::size_t used = 0;
    for (std::size_t at = 0; at < line.size();) {
        Character c = next_character(line, at);
        bool replaced = !c.valid || is_control(c.code);
        std::size_t width = replaced ? 1 : static_cast<std::size_t>(columns_of(c.code));
        if (used + width > columns) break;
        used += width;
        if (replaced) {
            shown += '?';
        } else {
            shown.append(line, at, c.size);
        }
        at += c.size;
    }
    return shown;
}

}  // namespace velmora::headless
