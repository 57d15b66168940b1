// Each target goes through read_scene, so that the choice of reader is
// fuzzed too; its seeds keep it mostly in its own format.
// What every fuzz target checks besides not crashing: a reader either
// refuses the bytes as no scene or returns facts whose problems are one
// line each.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "scene/source.hpp"

namespace velmora::fuzz {

template <typename Read>
int run(const std::uint8_t* data, std::size_t size, Read read) {
    try {
        velmora::scene::SceneFacts facts = read(std::string_view(reinterpret_cast<const char*>(data), size));
        for (const std::string& line : facts.problems) {
            if (line.empty() || line.find('\n') != std::string::npos) std::abort();
        }
    } catch (const velmora::scene::NotAScene& refused) {
        if (std::string_view(refused.what()).find('\n') != std::string_view::npos) std::abort();
    }
    return 0;
}

}  // namespace velmora::fuzz
