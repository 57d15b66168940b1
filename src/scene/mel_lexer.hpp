// The words, strings and statement ends of MEL as Maya writes it into scene
// files, read from a Source in big blocks. The loops that pass over data
// nobody keeps (a mesh's setAttr, megabytes long) look at each byte once,
// through a table, and hold nothing.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "scene/sha256.hpp"
#include "scene/source.hpp"

namespace velmora::scene {

// The bytes of a source and a cursor in them.
class Input {
  public:
    static constexpr std::size_t kBlock = 1 << 20;
    explicit Input(Source& source) : source_(source), block_(new char[kBlock]) {}

    // The byte at the cursor, or -1 at the end.
    int peek() {
        if (pos_ == end_ && !refill()) return -1;
        return static_cast<unsigned char>(block_[pos_]);
    }
    // The byte `ahead` places past the cursor (ahead < 16), or -1.
    int peek_at(std::size_t ahead);
    void advance() { ++pos_; }
    std::uint64_t offset() const { return base_ + pos_; }
    // The bytes at hand, for loops that scan them directly.
    const char* cursor() const { return block_.get() + pos_; }
    const char* limit() const { return block_.get() + end_; }
    void move_to(const char* p) { pos_ = static_cast<std::size_t>(p - block_.get()); }
    // Keeps the bytes not yet read and reads more after them; false at the end.
    bool refill();

  private:
    Source& source_;
    std::unique_ptr<char[]> block_;
    std::size_t pos_ = 0;
    std::size_t end_ = 0;
    std::uint64_t base_ = 0;  // the file offset of block_[0]
};

// Where a string's text goes when it must not be held whole: kept up to a
// cap, counted and hashed in full.
struct StringSink {
    std::string* held = nullptr;
    std::size_t cap = 0;
    Sha256* hash = nullptr;
    std::uint64_t bytes = 0;
    bool overflow = false;
    void add(const char* p, std::size_t n);
};

bool is_brace(const std::string& word);

enum class Kind { Word, String, Open, Close, End, Eof };

// A brace is a word of its own: at a statement's start it opens or closes a
// block, elsewhere it is an array's (setAttr ... {"a","b"}).
struct Token {
    Kind kind = Kind::Eof;
    std::string text;  // a word, or a string's text with its escapes read (capped)
    std::uint64_t at = 0;
};

class Lexer {
  public:
    static constexpr std::size_t kTokenCap = 16 * 1024;
    explicit Lexer(Input& input) : in_(input) {}

    // The next token. A string's text goes to `sink` when one is given,
    // else into the token (up to kTokenCap bytes).
    Kind next(Token& token, StringSink* sink = nullptr);
    // Passes over the rest of the statement, its ';' included. False when
    // the input ends first.
    bool skip_statement();
    // Where a string that the end of the input cut off began, or -1.
    std::int64_t open_string_at() const { return open_string_at_; }

  private:
    bool comment();  // passes over a comment at the cursor, if one is there
    void skip_space();
    void read_word(Token& token);
    void read_string(Token& token, StringSink* sink);
    bool skip_string();  // the cursor past the opening quote
    Input& in_;
    std::int64_t open_string_at_ = -1;
};

bool is_utf8(const std::string& text);

}  // namespace velmora::scene
