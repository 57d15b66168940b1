// A worker: one long-lived Maya that converts file after file through the
// same engine as the window, with the user's choices as the controller
// gave them and every output written aside for the controller to publish.
#include "headless/worker.hpp"

#include "engine/front_end.hpp"
#include "headless/channel.hpp"
#include "headless/options.hpp"
#include "headless/scene_safety.hpp"
#include "headless/temporary_files.hpp"
#include "headless/watchdog.hpp"
#include "host/host.hpp"
#include "host/stdlib.hpp"

namespace velmora::headless {
namespace {

// The worker's output is its log file, on the batch's disk. A log that
// cannot be written (that disk full) is no fault of the file converted:
// the worker's output goes to the null device from then on, and the
// controller is told once, with its next reply.
struct WorkerLog {
    bool lost = false;
    Ref reason;  // until told

    void write(const Ref& line) {
        if (lost) return;
        std::optional<Ref> error = py::guard([&line] { print_log(line); });
        if (error) lose(*error);
    }
    void lose(const Ref& why) {
        lost = true;
        reason = why;
        // Maya's own output and what Python still holds go nowhere, rather
        // than fail the next call that writes.
        py::guard([] {
            Ref null = host::os("open", {host::attribute("os", "devnull"), host::attribute("os", "O_WRONLY")});
            host::os("dup2", {null, py::integer(1)});
            host::os("dup2", {null, py::integer(2)});
            host::os("close", {null});
        });
    }
};

// The user's choices as the controller sent them with the file; the log
// goes to the worker's output (its log file) only: the window's log file
// is the artist's, not the batch's.
class WorkerFrontEnd final : public FrontEnd {
public:
    WorkerFrontEnd(const Ref& job, WorkerLog& log)
        : log_(log),
          choices_(worker_choices_of(job)),
          tag_(py::get_item(job, "tag")),
          base_(py::call_method(job, "get", {"base"})) {}

    bool skip_existing() override { return choices_.skip_existing; }
    bool run_scene_scripts() override { return safety_ ? safety_->run_scripts() : true; }
    void opened(const Ref& /*source_file*/) override {
        if (safety_) safety_->opened();
    }
    std::optional<Ref> check_output(const Ref& output_format, const Ref& path) override {
        return safety_ ? safety_->check(output_format, path) : std::nullopt;
    }
    // The preset first; a file version or text output chosen for the whole
    // batch comes after it, before each export. A version the plug-in does
    // not know fails the export with the plug-in's message.
    void setup_fbx_export() override {
        apply_fbx_preset(choices_.preset, *this);
        if (choices_.fbx_version.get() != Py_None) {
            host::mel_eval(py::format("FBXExportFileVersion -v {}", {choices_.fbx_version}));
        }
        if (choices_.fbx_ascii) host::mel_eval("FBXExportInAscii -v true");
    }
    Ref output_base(const Ref& source_base) override {
        return base_.get() != Py_None ? base_ : source_base;
    }
    // Maya in batch mode has no main pane to hide.
    void suspend_viewport() override {}
    Ref write_path(const Ref& output_file) override { return temp_path(output_file, tag_); }
    void log(const Ref& line) override { log_.write(line); }
    void skipped(const Ref& output_file) override { py::append(skipped_, output_file); }
    using FrontEnd::log;

    const Ref& skipped_outputs() const { return skipped_; }
    const Choices& choices() const { return choices_; }
    void guard_with(SceneSafety& safety) { safety_ = &safety; }

private:
    SceneSafety* safety_ = nullptr;
    WorkerLog& log_;
    Choices choices_;  // those the worker acts on (kOptions' `worker` rows)
    Ref tag_;
    Ref base_;         // where the outputs go, when not next to the source
    Ref skipped_ = py::list();
};

Ref convert(const Ref& job, WorkerLog& log) {
    Ref source = py::get_item(job, "convert");
    WorkerFrontEnd front(job, log);
    front.log(py::format("\n[{}/{}] {}", {py::get_item(job, "position"), py::get_item(job, "total"),
                                           host::os_path("basename", {source})}));
    SceneSafety safety(source, front.choices(), front.choices().fbx_version);
    front.guard_with(safety);
    Ref results = py::list();
    std::optional<Ref> error = safety.refusal();
    if (!error) {
        error = py::guard([&] {
            Ref fps = open_source(source, front);
            results = convert_scene(source, py::get_item(job, "formats"), fps, front);
        });
    }
    if (error) front.log(py::format("  ERROR opening: {}", {*error}));
    Ref reply = py::dict({{"index", py::get_item(job, "index")},
                          {"results", results},
                          {"skipped", front.skipped_outputs()},
                          {"error", error ? *error : py::none()},
                          {"notes", safety.notes()}});
    if (safety.may_leave_code_behind()) py::set_item(reply, "retire", true);
    if (log.reason) {
        py::set_item(reply, "log_lost", log.reason);
        log.reason = Ref();
    }
    return reply;
}

void serve(Channel& channel, Watchdog& watchdog) {
    WorkerLog log;
    while (std::optional<Ref> message = channel.receive()) {
        if (py::find_item(*message, "quit")) return;
        watchdog.busy(true);
        Ref reply = convert(*message, log);
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
            channel.send(py::dict({{"ready", true}}));
            Watchdog watchdog(py::as_long(py::call_method(channel.socket(), "fileno")));
            serve(channel, watchdog);
        },
        [&] {
            host::cmds("file", {}, {{"prompt", prompt}});
            py::call(py::getattr(standalone, "uninitialize"));
        });
    channel.close();
    return 0;
}

}  // namespace velmora::headless
