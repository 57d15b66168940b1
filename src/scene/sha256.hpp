// SHA-256, fed in pieces: a script node's text is hashed as it streams past,
// however long it is, without being held.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace velmora::scene {

class Sha256 {
  public:
    Sha256();
    void update(std::string_view bytes);
    // The digest as 64 lowercase hex digits. Takes a copy, so more may be fed
    // afterwards to the original.
    std::string hex() const;

  private:
    void compress(const unsigned char* block);
    std::array<std::uint32_t, 8> state_;
    std::array<unsigned char, 64> pending_{};
    std::size_t pending_size_ = 0;
    std::uint64_t total_ = 0;
};

std::string sha256_hex(std::string_view bytes);

}  // namespace velmora::scene
