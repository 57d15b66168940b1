#include "host/files.hpp"

#include "host/host.hpp"

namespace velmora::host {

bool exists(const py::Ref& path) { return py::truthy(os_path("exists", {path})); }

bool on_windows() { return py::equals(py::getattr(global("os"), "name"), "nt"); }

}  // namespace velmora::host
