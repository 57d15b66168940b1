// The batches window's timer: a Python thread of its own that sleeps on an
// Event (waking at once when the window closes) and, twice a second,
// hands a refresh to Maya's main thread. It never touches the window.
#include "background/batches_window.hpp"

#include "host/callback.hpp"
#include "host/stdlib.hpp"

namespace velmora::background::window {
namespace {

constexpr double kPeriod = 0.5;

void run_timer(const Window& w) {
    Ref stop = w->stop_timer;
    while (!py::truthy(py::call_method(stop, "wait", {kPeriod}))) {
        // Maya that no longer takes deferred calls leaves the window as it is.
        if (py::guard([&w] { queue_refresh(w); })) return;
    }
}

}  // namespace

void start_timer(const Window& w) {
    Ref body = host::make_callback(
        [w] {
            run_timer(w);
            return py::none();
        },
        0);
    Ref thread = py::call(host::attribute("threading", "Thread"), {},
                          {{"target", body}, {"name", "velmora-batches-window"}, {"daemon", true}});
    py::call_method(thread, "start");
    w->timer = thread;
}

}  // namespace velmora::background::window
