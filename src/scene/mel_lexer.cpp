#include "scene/mel_lexer.hpp"

#include <array>
#include <cstring>

namespace velmora::scene {
namespace {

using Table = std::array<bool, 256>;

constexpr Table table_of(const char* bytes) {
    Table table{};
    for (const char* p = bytes; *p != '\0'; ++p) table[static_cast<unsigned char>(*p)] = true;
    return table;
}

// Bytes that end a statement's data or may start a string or comment.
constexpr Table kStatementStop = table_of(";\"/");
// Bytes that end a string's plain run.
constexpr Table kStringStop = table_of("\"\\");
// Bytes that end a word.
constexpr Table kWordStop = table_of(" \t\n\r\f\v;{}\"()");

bool space(int c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == '\v'; }

const char* scan(const char* p, const char* end, const Table& stop) {
    while (p < end && !stop[static_cast<unsigned char>(*p)]) ++p;
    return p;
}

char escaped(int c) {
    switch (c) {
        case 'n': return '\n';
        case 't': return '\t';
        case 'r': return '\r';
        default: return static_cast<char>(c);
    }
}

}  // namespace

int Input::peek_at(std::size_t ahead) {
    while (end_ - pos_ <= ahead) {
        if (!refill()) return -1;
    }
    return static_cast<unsigned char>(block_[pos_ + ahead]);
}

bool Input::refill() {
    std::size_t rest = end_ - pos_;
    if (rest > 0 && pos_ > 0) std::memmove(block_.get(), block_.get() + pos_, rest);
    base_ += pos_;
    pos_ = 0;
    end_ = rest;
    std::size_t n = source_.read(block_.get() + end_, kBlock - end_);
    end_ += n;
    return n > 0;
}

void StringSink::add(const char* p, std::size_t n) {
    bytes += n;
    if (hash != nullptr) hash->update(std::string_view(p, n));
    if (held == nullptr) return;
    std::size_t room = cap > held->size() ? cap - held->size() : 0;
    if (n > room) {
        overflow = true;
        n = room;
    }
    held->append(p, n);
}

bool Lexer::comment() {
    if (in_.peek() != '/') return false;
    int second = in_.peek_at(1);
    if (second == '/') {
        for (;;) {
            const char* end = in_.limit();
            const char* nl = static_cast<const char*>(std::memchr(in_.cursor(), '\n', end - in_.cursor()));
            if (nl != nullptr) {
                in_.move_to(nl + 1);
                return true;
            }
            in_.move_to(end);
            if (!in_.refill()) return true;
        }
    }
    if (second == '*') {
        in_.advance();
        in_.advance();
        for (int c = in_.peek(); c >= 0; c = in_.peek()) {
            in_.advance();
            if (c == '*' && in_.peek() == '/') {
                in_.advance();
                return true;
            }
        }
        return true;
    }
    return false;
}

void Lexer::skip_space() {
    for (int c = in_.peek(); c >= 0; c = in_.peek()) {
        if (space(c)) {
            in_.advance();
        } else if (!comment()) {
            return;
        }
    }
}

Kind Lexer::next(Token& token, StringSink* sink) {
    skip_space();
    token.text.clear();
    token.at = in_.offset();
    int c = in_.peek();
    switch (c) {
        case -1: return token.kind = Kind::Eof;
        case ';': in_.advance(); return token.kind = Kind::End;
        case '{':
        case '}':
            in_.advance();
            token.text.assign(1, static_cast<char>(c));
            return token.kind = Kind::Word;
        case '(': in_.advance(); return token.kind = Kind::Open;
        case ')': in_.advance(); return token.kind = Kind::Close;
        case '"':
            in_.advance();
            read_string(token, sink);
            return token.kind = open_string_at_ >= 0 ? Kind::Eof : Kind::String;
        default: read_word(token); return token.kind = Kind::Word;
    }
}

void Lexer::read_word(Token& token) {
    for (;;) {
        const char* start = in_.cursor();
        const char* stop = scan(start, in_.limit(), kWordStop);
        std::size_t room = kTokenCap - token.text.size();
        token.text.append(start, std::min<std::size_t>(room, stop - start));
        in_.move_to(stop);
        if (stop < in_.limit() || !in_.refill()) return;
    }
}

void Lexer::read_string(Token& token, StringSink* sink) {
    std::uint64_t start_at = in_.offset() - 1;
    auto keep = [&](const char* p, std::size_t n) {
        if (sink != nullptr) {
            sink->add(p, n);
        } else {
            token.text.append(p, std::min(n, kTokenCap - std::min(kTokenCap, token.text.size())));
        }
    };
    for (;;) {
        const char* start = in_.cursor();
        const char* stop = scan(start, in_.limit(), kStringStop);
        keep(start, stop - start);
        in_.move_to(stop);
        if (stop == in_.limit()) {
            if (!in_.refill()) break;
            continue;
        }
        in_.advance();
        if (*stop == '"') return;
        int c = in_.peek();  // after a backslash
        if (c < 0) break;
        in_.advance();
        if (c == 'n' || c == 't' || c == 'r' || c == '"' || c == '\\') {
            char one = escaped(c);
            keep(&one, 1);
        } else {
            // Not an escape MEL knows: the backslash stays with its byte.
            char two[2] = {'\\', static_cast<char>(c)};
            keep(two, 2);
        }
    }
    open_string_at_ = static_cast<std::int64_t>(start_at);
}

bool Lexer::skip_string() {
    std::uint64_t start_at = in_.offset() - 1;
    for (;;) {
        const char* stop = scan(in_.cursor(), in_.limit(), kStringStop);
        in_.move_to(stop);
        if (stop == in_.limit()) {
            if (!in_.refill()) break;
            continue;
        }
        in_.advance();
        if (*stop == '"') return true;
        if (in_.peek() < 0) break;
        in_.advance();
    }
    open_string_at_ = static_cast<std::int64_t>(start_at);
    return false;
}

bool Lexer::skip_statement() {
    for (;;) {
        const char* stop = scan(in_.cursor(), in_.limit(), kStatementStop);
        in_.move_to(stop);
        if (stop == in_.limit()) {
            if (!in_.refill()) return false;
            continue;
        }
        if (*stop == ';') {
            in_.advance();
            return true;
        }
        if (*stop == '"') {
            in_.advance();
            if (!skip_string()) return false;
        } else if (!comment()) {
            in_.advance();  // a lone '/'
        }
    }
}

bool is_brace(const std::string& word) { return word == "{" || word == "}"; }

bool is_utf8(const std::string& text) {
    const auto* p = reinterpret_cast<const unsigned char*>(text.data());
    const unsigned char* end = p + text.size();
    while (p < end) {
        unsigned char c = *p;
        if (c < 0x80) {
            ++p;
            continue;
        }
        int more = c >= 0xc2 && c <= 0xdf ? 1 : c >= 0xe0 && c <= 0xef ? 2 : c >= 0xf0 && c <= 0xf4 ? 3 : 0;
        if (more == 0 || end - p <= more) return false;
        unsigned char second = p[1];
        if ((c == 0xe0 && second < 0xa0) || (c == 0xed && second > 0x9f) || (c == 0xf0 && second < 0x90) ||
            (c == 0xf4 && second > 0x8f)) {
            return false;
        }
        for (int i = 1; i <= more; ++i) {
            if ((p[i] & 0xc0) != 0x80) return false;
        }
        p += more + 1;
    }
    return true;
}

}  // namespace velmora::scene
