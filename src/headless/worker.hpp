// The worker's side: runs inside mayapy, started by the controller.
#pragma once

#include "host/py.hpp"

namespace velmora::headless {

// velmora._worker(argv): argv is [host, port, token, worker id]. Connects
// to the controller, starts Maya once, converts what it is handed until it
// is told to quit or the controller is gone. Returns the exit status.
int worker_main(const py::Ref& argv);

}  // namespace velmora::headless
