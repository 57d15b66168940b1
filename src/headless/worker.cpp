// A worker: one long-lived Maya that converts file after file through the
// same engine as the window, with the user's choices as the controller
// gave them and every output written aside for the controller to publish.
#include "headless/worker.hpp"

#include "engine/front_end.hpp"
#include "headless/channel.hpp"
#include "headless/temporary_files.hpp"
#include "headless/watchdog.hpp"
#include "host/stdlib.hpp"

namespace velmora::headless {
namespace {

class WorkerFrontEnd final : public FrontEnd {
public:
    WorkerFrontEnd(PyObject* converter, const Ref& job)
        : converter_(converter),
          skip_(py::truthy(py::get_item(job, "skip_existing"))),
          preset_(py::get_item(job, "preset")),
          tag_(py::get_item(job, "tag")) {}

    bool skip_existing() override { return skip_; }
    void setup_fbx_export() override { apply_fbx_preset(converter_, preset_); }
    // Maya in batch mode has no main pane to hide.
    void suspend_viewport() override {}
    Ref write_path(const Ref& output_file) override { return temp_path(output_file, tag_); }

private:
    PyObject* converter_;
    bool skip_;
    Ref preset_;
    Ref tag_;
};

// A converter whose log lines go to the worker's output (its log file)
// only: the window's log file is the artist's, not the batch's.
Ref make_converter() {
    Ref type = host::global("Velmora");
    Ref converter = py::call(py::getattr(host::attribute("builtins", "object"), "__new__"), {type});
    py::setattr(converter.get(), "LOG_FILE", py::getattr(host::module("os"), "devnull"));
    py::call_method(converter, "__init__");
    return converter;
}

Ref convert(PyObject* converter, const Ref& job) {
    Ref source = py::get_item(job, "convert");
    py::setattr(converter, "skipped_files", py::list());
    log_msg(converter, py::format("\n[{}/{}] {}", {py::get_item(job, "position"),
                                                   py::get_item(job, "total"),
                                                   host::os_path("basename", {source})}));
    WorkerFrontEnd front(converter, job);
    Ref results = py::list();
    std::optional<Ref> error = py::guard([&] {
        Ref fps = open_source(converter, source, front);
        results = convert_scene(converter, source, py::get_item(job, "formats"), fps, front);
    });
    if (error) log_msg(converter, py::format("  ERROR opening: {}", {*error}));
    return py::dict({{"index", py::get_item(job, "index")},
                     {"results", results},
                     {"skipped", attr(converter, "skipped_files")},
                     {"error", error ? *error : py::none()}});
}

void serve(Channel& channel, PyObject* converter, Watchdog& watchdog) {
    while (std::optional<Ref> message = channel.receive()) {
        if (py::find_item(*message, "quit")) return;
        watchdog.busy(true);
        Ref reply = convert(converter, *message);
        watchdog.busy(false);
        channel.send(reply);
    }
}

Ref connect(const Ref& argv) {
    Ref address = py::tuple({py::item(argv, 0), py::call(py::builtin("int"), {py::item(argv, 1)})});
    return py::call(host::attribute("socket", "create_connection"), {address});
}

}  // namespace

int worker_main(const Ref& argv) {
    Channel channel(connect(argv));
    channel.send(py::dict({{"hello", py::item(argv, 2)},
                           {"worker", py::call(py::builtin("int"), {py::item(argv, 3)})},
                           {"pid", host::os("getpid", {})}}));
    Ref standalone = host::module("maya.standalone");
    py::call(py::getattr(standalone, "initialize"), {}, {{"name", "python"}});
    // No dialog may stop an unattended run. Maya keeps the setting for the
    // rest of the session, so it is put back as it was.
    Ref prompt = host::cmds("file", {}, {{"q", true}, {"prompt", true}});
    host::cmds("file", {}, {{"prompt", false}});
    py::finally(
        [&] {
            Ref converter = make_converter();
            channel.send(py::dict({{"ready", true}}));
            Watchdog watchdog(py::as_long(py::call_method(channel.socket(), "fileno")));
            serve(channel, converter.get(), watchdog);
        },
        [&] {
            host::cmds("file", {}, {{"prompt", prompt}});
            py::call(py::getattr(standalone, "uninitialize"));
        });
    channel.close();
    return 0;
}

}  // namespace velmora::headless
