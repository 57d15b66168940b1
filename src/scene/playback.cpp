#include "scene/playback.hpp"

#include <cmath>
#include <cstdint>

#include "scene/mel_lexer.hpp"
#include "scene/source.hpp"

namespace velmora::scene {
namespace {

// Words of a playbackOptions statement that are looked at: its four flags
// and their values, and a few more to tell that it says something else.
constexpr std::size_t kFlagWords = 16;

}  // namespace

std::optional<double> mel_number(std::string_view word) {
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

namespace {

// Which of the four values a flag sets (0 to 3), or -1.
int field_of(std::string_view flag) {
    if (flag == "-min" || flag == "-minTime") return 0;
    if (flag == "-max" || flag == "-maxTime") return 1;
    if (flag == "-ast" || flag == "-animationStartTime") return 2;
    if (flag == "-aet" || flag == "-animationEndTime") return 3;
    return -1;
}

}  // namespace

std::optional<Playback> playback_of_flags(const std::vector<std::string_view>& words) {
    double values[4] = {0, 0, 0, 0};
    unsigned seen = 0;
    if (words.size() % 2 != 0) return std::nullopt;
    for (std::size_t i = 0; i < words.size(); i += 2) {
        int field = field_of(words[i]);
        std::optional<double> value = mel_number(words[i + 1]);
        if (field < 0 || !value) return std::nullopt;
        values[field] = *value;
        seen |= 1u << field;
    }
    if (seen == 0) return std::nullopt;
    Playback range{values[0], values[1], values[2], values[3]};
    bool min = (seen & 1u) != 0, max = (seen & 2u) != 0, ast = (seen & 4u) != 0, aet = (seen & 8u) != 0;
    if (!min) range.min = ast ? range.ast : range.max;
    if (!max) range.max = aet ? range.aet : range.min;
    if (!ast) range.ast = range.min;
    if (!aet) range.aet = range.max;
    return range;
}

std::optional<Playback> playback_from(std::string_view mel) {
    MemorySource source(mel);
    Input input(source);
    Lexer lexer(input);
    std::optional<Playback> found;
    Token t;
    for (Kind kind = lexer.next(t); kind != Kind::Eof; kind = lexer.next(t)) {
        if (kind != Kind::Word || t.text != "playbackOptions") {
            bool between = kind == Kind::End || (kind == Kind::Word && is_brace(t.text));
            if (!between && !lexer.skip_statement()) break;
            continue;
        }
        std::vector<Token> tokens;
        while (tokens.size() < kFlagWords) {
            tokens.emplace_back();
            kind = lexer.next(tokens.back());
            if (kind == Kind::End || kind == Kind::Eof) break;
        }
        bool whole = kind == Kind::End || kind == Kind::Eof;
        if (whole) tokens.pop_back();
        std::vector<std::string_view> words;
        bool words_only = whole;
        for (const Token& token : tokens) {
            words_only = words_only && token.kind == Kind::Word;
            words.emplace_back(token.text);
        }
        if (!whole && !lexer.skip_statement()) kind = Kind::Eof;
        if (words_only) {
            if (std::optional<Playback> range = playback_of_flags(words)) found = range;
        }
        if (kind == Kind::Eof) break;
    }
    return found;
}

}  // namespace velmora::scene
