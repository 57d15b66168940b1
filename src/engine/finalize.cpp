// After a batch: Maya and the window brought back to normal in nine
// announced steps, each failing on its own, then the report scheduled for
// when Maya is idle.
#include "core/converter.hpp"
#include "host/callback.hpp"

namespace velmora {
namespace {

// Announces a step, runs it, and logs its failure without stopping the
// sequence.
template <class Operation>
void restore(PyObject* self, const char* announcement, const char* failure_template,
             Operation&& operation) {
    log_msg(self, announcement);
    if (auto failure = py::guard(operation)) log_msg(self, py::format(failure_template, {*failure}));
}

// A parameterless callable for Maya's idle queue: it calls show_statistics
// on this converter when it runs.
Ref deferred_statistics(PyObject* self) {
    Ref converter = Ref::borrow(self);
    return host::make_callback([converter] { return call(converter.get(), "show_statistics"); }, 0);
}

}  // namespace

void finalize_conversion(PyObject* self) {
    log_msg(self, ">>> finalize_conversion STARTED");
    restore(self, ">>> Step 1: select clear", ">>> select clear FAILED: {}",
            [] { host::cmds("select", {}, {{"clear", true}}); });
    restore(self, ">>> Step 2: file new", ">>> file new FAILED: {}",
            [] { host::cmds("file", {}, {{"new", true}, {"force", true}}); });
    restore(self, ">>> Step 3: flushUndo", ">>> flushUndo FAILED: {}",
            [] { host::cmds("flushUndo"); });
    restore(self, ">>> Step 4: refresh instead of flushIdleQueue", ">>> refresh FAILED: {}",
            [] { host::cmds("refresh", {}, {{"force", true}}); });
    restore(self, ">>> Step 5: file modified false", ">>> file modified FAILED: {}",
            [] { host::cmds("file", {}, {{"modified", false}}); });
    // enable_viewport absorbs its own failures.
    log_msg(self, ">>> Step 6: enable_viewport");
    call(self, "enable_viewport");
    restore(self, ">>> Step 7: waitCursor false", ">>> waitCursor FAILED: {}",
            [] { host::cmds("waitCursor", {}, {{"state", false}}); });
    restore(self, ">>> Step 8: button restore", ">>> button restore FAILED: {}", [self] {
        host::cmds("button", {attr(self, "convert_btn")},
                   {{"e", true}, {"en", true}, {"label", "Start Conversion"}});
    });
    log_msg(self, ">>> Step 9: update_status");
    call(self, "update_status", {"Complete"});

    log_msg(self, ">>> finalize_conversion COMPLETED");
    log_msg(self, ">>> Scheduling show_statistics via evalDeferred");
    if (py::truthy(attr(self, "start_time"))) {
        host::cmds("evalDeferred", {deferred_statistics(self)});
    }
}

}  // namespace velmora
