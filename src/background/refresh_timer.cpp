// The batches window's timer: a Python thread of its own that sleeps on an
// Event (waking at once when the window closes) and, twice a second,
// hands a refresh to Maya's main thread. It never touches the window.
#include "background/batches_window.hpp"

#include "host/callback.hpp"
#include "host/stdlib.hpp"

#include <utility>

namespace velmora::background::window {
namespace {

constexpr double kPeriod = 0.5;
// How long closing waits for the timer thread, which wakes at once.
constexpr double kJoinTimeout = 5.0;

void run_timer(const Window& w) {
    Ref stop = w->stop_timer;
    while (!py::truthy(py::call_method(stop, "wait", {kPeriod}))) {
        // Maya that no longer takes deferred calls leaves the window as it is.
        if (py::guard([&w] { queue_refresh(w); })) return;
    }
}

// Registered for the interpreter's exit: closes the window's timer while
// threads still run normally. The hook is not unregistered from inside
// its own call (atexit would free it while it runs).
void hook_exit(const Window& w) {
    w->at_exit = host::make_callback(
        [w] {
            w->exiting = true;
            close(w);
            return py::none();
        },
        0);
    py::call(host::attribute("atexit", "register"), {w->at_exit});
}

}  // namespace

void start_timer(const Window& w) {
    hook_exit(w);
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

namespace velmora::background::window {

void stop_timer(const Window& w) {
    py::call_method(w->stop_timer, "set");
    Ref timer = std::exchange(w->timer, Ref());
    if (timer) py::call(py::getattr(timer, "join"), {}, {{"timeout", kJoinTimeout}});
    Ref hook = std::exchange(w->at_exit, Ref());
    if (hook && !w->exiting) py::call(host::attribute("atexit", "unregister"), {hook});
}

}  // namespace velmora::background::window
