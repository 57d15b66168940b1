// The bytes a reader reads: a file read in pieces, or bytes in memory,
// behind one small interface so that each format's reader is written once
// and fuzzed on memory.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string_view>

#include "scene/scene_file.hpp"

namespace velmora::scene {

class Source {
  public:
    virtual ~Source() = default;
    // Up to `size` bytes at the position, which moves past them; 0 at the
    // end. Throws std::system_error when the file cannot be read.
    virtual std::size_t read(char* into, std::size_t size) = 0;
    // To an absolute offset; past the end is allowed (reads then give 0).
    virtual void seek(std::uint64_t offset) = 0;
    virtual std::uint64_t position() const = 0;
    virtual std::uint64_t size() const = 0;
};

class MemorySource final : public Source {
  public:
    explicit MemorySource(std::string_view bytes) : bytes_(bytes) {}
    std::size_t read(char* into, std::size_t size) override {
        if (at_ >= bytes_.size()) return 0;
        std::size_t n = std::min<std::uint64_t>(size, bytes_.size() - at_);
        std::memcpy(into, bytes_.data() + at_, n);
        at_ += n;
        return n;
    }
    void seek(std::uint64_t offset) override { at_ = offset; }
    std::uint64_t position() const override { return at_; }
    std::uint64_t size() const override { return bytes_.size(); }

  private:
    std::string_view bytes_;
    std::uint64_t at_ = 0;
};

// Each format's reader, from the source's start. A reader records what it
// could not read in `problems`; it throws NotAScene only when the file is
// not of its format at all.
SceneFacts read_maya_ascii(Source& source);
SceneFacts read_maya_binary(Source& source);
SceneFacts read_fbx_header(Source& source);

// Which reader a file's first bytes call for (at most 32 are given), or
// NotAScene with the reason.
Format format_of(std::string_view first_bytes);

}  // namespace velmora::scene
