// TEMPORARY: the farm's entry bound as the private module function
// velmora._farm_main(argv) until velmora.batch_main dispatches to it.
#pragma once

#include "host/ref.hpp"

namespace velmora::farm {

py::Ref main_function(const py::Ref& module_name);

}  // namespace velmora::farm
