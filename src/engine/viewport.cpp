// Maya's main pane is hidden while a scene is opened and converted, so the
// viewports do not redraw for every step, and shown again afterwards.
#include "core/converter.hpp"

namespace velmora {
namespace {

void force_redraw() { host::cmds("refresh", {}, {{"force", true}}); }

}  // namespace

void disable_viewport(PyObject* self) {
    if (py::truthy(attr(self, "viewport_disabled"))) return;
    auto failure = py::guard([self] {
        host::mel_eval("paneLayout -e -manage false $gMainPane");
        py::setattr(self, "viewport_disabled", true);
        log_msg(self, "  [DEBUG] Viewport disabled");
    });
    if (failure) log_msg(self, py::format("  [DEBUG] Failed to disable viewport: {}", {*failure}));
}

// Runs on every call, whatever was remembered: the pane must come back even
// when an earlier disable half-failed.
void enable_viewport(PyObject* self) {
    auto failure = py::guard([self] {
        host::mel_eval("paneLayout -e -manage true $gMainPane");
        force_redraw();
        py::setattr(self, "viewport_disabled", false);
        log_msg(self, "  [DEBUG] Viewport enabled");
    });
    if (!failure) return;
    log_msg(self, py::format("  [DEBUG] Failed to enable viewport: {}", {*failure}));
    py::swallow(force_redraw);
}

}  // namespace velmora
