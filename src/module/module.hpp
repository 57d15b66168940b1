#pragma once

#include "host/ref.hpp"

namespace velmora {

// Builds the class Velmora with its constants and methods.
py::Ref make_velmora_class();

}  // namespace velmora
