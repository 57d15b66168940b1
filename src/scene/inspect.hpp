// velmora.inspect(path): what the scene reader finds in a file, as a dict.
#pragma once

#include "host/ref.hpp"

namespace velmora::scene {

PyMethodDef* entry_points();

}  // namespace velmora::scene
