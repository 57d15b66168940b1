#include "scene/playback.hpp"

#include <cmath>
#include <cstdint>

namespace velmora::scene {
namespace {

bool is_space(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

// The next word (a run of characters that are not white space or ';').
std::string_view next_word(std::string_view text, std::size_t& at) {
    while (at < text.size() && is_space(text[at])) ++at;
    std::size_t begin = at;
    while (at < text.size() && !is_space(text[at]) && text[at] != ';') ++at;
    return text.substr(begin, at - begin);
}

// A decimal number as MEL writes one: [+-]digits[.digits][e[+-]digits].
// Written out rather than strtod (which follows the C locale) or
// from_chars for doubles (missing from older C++ libraries).
std::optional<double> number_from(std::string_view word) {
    std::size_t i = 0;
    bool negative = false;
    if (i < word.size() && (word[i] == '-' || word[i] == '+')) negative = word[i++] == '-';
    std::uint64_t mantissa = 0;
    int scale = 0, digits = 0;
    auto digit = [&](char c, bool fraction) {
        if (mantissa < 100000000000000000ULL) {
            mantissa = mantissa * 10 + static_cast<unsigned>(c - '0');
            if (fraction) --scale;
        } else if (!fraction) {
            ++scale;
        }
        ++digits;
    };
    while (i < word.size() && word[i] >= '0' && word[i] <= '9') digit(word[i++], false);
    if (i < word.size() && word[i] == '.') {
        ++i;
        while (i < word.size() && word[i] >= '0' && word[i] <= '9') digit(word[i++], true);
    }
    if (digits == 0) return std::nullopt;
    if (i < word.size() && (word[i] == 'e' || word[i] == 'E')) {
        ++i;
        bool negative_exponent = false;
        if (i < word.size() && (word[i] == '-' || word[i] == '+')) negative_exponent = word[i++] == '-';
        int exponent = 0, exponent_digits = 0;
        while (i < word.size() && word[i] >= '0' && word[i] <= '9') {
            if (exponent < 1000) exponent = exponent * 10 + (word[i] - '0');
            ++i;
            ++exponent_digits;
        }
        if (exponent_digits == 0) return std::nullopt;
        scale += negative_exponent ? -exponent : exponent;
    }
    if (i != word.size()) return std::nullopt;
    // Powers of ten by steps, not std::pow: pow's current version needs a
    // newer glibc than the module may ask for.
    double value = static_cast<double>(mantissa);
    for (; scale > 0 && std::isfinite(value); --scale) value *= 10;
    for (; scale < 0 && value != 0; ++scale) value /= 10;
    if (!std::isfinite(value)) return std::nullopt;
    return negative ? -value : value;
}

// Which of the four values a flag sets (0 to 3), or -1.
int field_of(std::string_view flag) {
    if (flag == "-min" || flag == "-minTime") return 0;
    if (flag == "-max" || flag == "-maxTime") return 1;
    if (flag == "-ast" || flag == "-animationStartTime") return 2;
    if (flag == "-aet" || flag == "-animationEndTime") return 3;
    return -1;
}

}  // namespace

std::optional<Playback> playback_from(std::string_view mel) {
    constexpr std::string_view command = "playbackOptions";
    std::size_t found = mel.find(command);
    while (found != std::string_view::npos && found > 0 && !is_space(mel[found - 1]) && mel[found - 1] != ';')
        found = mel.find(command, found + 1);
    if (found == std::string_view::npos) return std::nullopt;
    std::size_t at = found + command.size();
    double values[4] = {0, 0, 0, 0};
    unsigned seen = 0;
    while (at < mel.size() && mel[at] != ';') {
        std::string_view word = next_word(mel, at);
        if (word.empty()) break;
        int field = field_of(word);
        if (field < 0) continue;
        std::size_t before_value = at;
        std::optional<double> value = number_from(next_word(mel, at));
        if (!value) {
            at = before_value;  // a flag without a number: the word is read again as a flag
            continue;
        }
        values[field] = *value;
        seen |= 1u << field;
    }
    if (seen != 0xF) return std::nullopt;
    return Playback{values[0], values[1], values[2], values[3]};
}

}  // namespace velmora::scene
