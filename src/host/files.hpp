// The file-system questions the module asks in more than one place.
//
// Which `os` they read: the module's own `os` global (velmora.os), looked
// up at each call through host::os and host::os_path, never the `os`
// module imported elsewhere. The tests put Windows' view of paths in that
// global (tests/windows_paths.py), and everything here then answers as on
// Windows.
#pragma once

#include "host/py.hpp"

namespace velmora::host {

// os.path.exists(path).
bool exists(const py::Ref& path);

// os.name == "nt": Windows' paths, processes and file-system rules.
bool on_windows();

}  // namespace velmora::host
