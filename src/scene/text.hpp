// Pieces of text that the scene readers, the verification and inspect
// share. Plain C++, as the readers are.
#pragma once

#include <cstdint>
#include <string>

namespace velmora::scene {

// 4096 as "4,096": byte offsets and counts in problems and reasons.
std::string thousands(std::uint64_t number);

// Maya tells copies of one referenced file apart by a copy number after its
// path ("rig.ma{1}"), given by the order references load in a session; the
// file referenced, and on disk, is the same whatever its number.
std::string without_copy_number(const std::string& path);

}  // namespace velmora::scene
