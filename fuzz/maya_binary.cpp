#include "target.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    return velmora::fuzz::run(data, size, [](velmora::scene::Source& source) { return velmora::scene::read_maya_binary(source); });
}
