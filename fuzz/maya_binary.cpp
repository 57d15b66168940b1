#include "target.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    return velmora::fuzz::run(data, size, [](std::string_view bytes) { return velmora::scene::read_scene(bytes); });
}
