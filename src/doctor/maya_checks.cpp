// The checks of Maya itself: which velmora it loads, its start, its
// versions and its batch mode.
#include "doctor/checks.hpp"

#include "host/host.hpp"

namespace velmora::doctor {
namespace {

Ref standalone() { return host::module("maya.standalone"); }

// The same file, or (when one cannot be reached) the same path.
bool same_file(const Ref& a, const Ref& b) {
    bool same = false;
    if (!py::guard([&] { same = py::truthy(host::os_path("samefile", {a, b})); })) return same;
    auto normal = [](const Ref& p) { return host::os_path("normcase", {host::os_path("abspath", {p})}); };
    return py::check_status(PyObject_RichCompareBool(normal(a).get(), normal(b).get(), Py_EQ)) != 0;
}

// The Maya module folder a binary came from (<folder>/platforms/<platform>/
// velmora.*), else the folder that holds it (a wheel's site-packages).
Ref origin(const Ref& binary) {
    Ref holder = host::os_path("dirname", {binary});
    Ref platforms = host::os_path("dirname", {holder});
    if (py::equals(host::os_path("basename", {platforms}), "platforms")) {
        return py::format("module folder {}", {host::os_path("dirname", {platforms})});
    }
    return py::format("folder {}", {holder});
}

}  // namespace

Ref loaded_module(const Setting& setting) {
    Ref binary = host::os_path("abspath", {host::global("__file__")});
    if (!same_file(binary, setting.expected)) {
        fail(py::format("mayapy imports velmora from {}, not {}: another velmora installed in this Maya comes "
                        "first",
                        {binary, setting.expected}));
    }
    return py::format("{} ({}), run by {}", {binary, origin(binary), host::attribute("sys", "executable")});
}

Ref start_maya() {
    double started = monotonic();
    py::call(py::getattr(standalone(), "initialize"), {}, {{"name", "python"}});
    return py::format("initialised in {:.1f} s", {monotonic() - started});
}

void stop_maya() { py::call(py::getattr(standalone(), "uninitialize")); }

Ref versions() {
    Ref platform = host::module("platform");
    Ref python = py::format("Python {}; {}", {py::call_method(platform, "python_version"),
                                              py::call_method(platform, "platform")});
    Ref maya;
    if (std::optional<Ref> error = py::guard([&] {
            maya = py::format("Maya {} (API {})", {host::cmds("about", {}, {{"version", true}}),
                                                   host::cmds("about", {}, {{"apiVersion", true}})});
        })) {
        fail(py::format("about -version failed: {} ({})", {*error, python}));
    }
    return py::format("{}; {}", {maya, python});
}

// The worker's own steps: no dialog may stop an unattended run, and Maya
// keeps the prompt setting for the rest of the session, so it must read
// back as set, and be put back as it was.
Ref batch_mode() {
    if (!py::truthy(host::cmds("about", {}, {{"batch", true}}))) {
        fail(py::str("about -batch is false: this Maya runs with a user interface"));
    }
    auto prompt = [] { return host::cmds("file", {}, {{"q", true}, {"prompt", true}}); };
    Ref was = prompt();
    host::cmds("file", {}, {{"prompt", false}});
    if (py::truthy(prompt())) fail(py::str("file -prompt false did not hold: the query still answers true"));
    host::cmds("file", {}, {{"prompt", was}});
    Ref back = prompt();
    if (py::truthy(back) != py::truthy(was)) {
        fail(py::format("file -prompt did not go back to {}: the query answers {}", {was, back}));
    }
    return py::format("no user interface; file -prompt was {}, set to false and restored",
                      {py::truthy(was) ? "true" : "false"});
}

}  // namespace velmora::doctor
