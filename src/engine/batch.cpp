// The batch: the Start button's command checks there is work, puts Maya and
// the window into the busy state, converts the files one by one, and always
// hands over to the finalisation, whatever happened.
#include "engine/front_end.hpp"

namespace velmora {
namespace {


void reset_statistics(PyObject* self, const Ref& files) {
    py::setattr(self, "total_files", py::integer(py::length(files)));
    py::setattr(self, "processed_files", 0);
    py::setattr(self, "successful_files", 0);
    py::setattr(self, "failed_files", py::list());
    py::setattr(self, "skipped_files", py::list());
    py::setattr(self, "start_time", host::time("time"));
}

void record_failure(PyObject* self, const py::Value& what, const Ref& why) {
    py::append(attr(self, "failed_files"), py::tuple({what, why}));
}

// int(float(position) / total_files * 100): the quotient first, then the
// multiplication, truncated toward zero (29 of 100 gives 28). Done with the
// interpreter's own number operations, so any total_files gives its value
// or its error, however large the result.
Ref progress_percent(Py_ssize_t position, const Ref& total_files) {
    Ref done = py::check(PyFloat_FromDouble(static_cast<double>(position)));
    Ref quotient = py::check(PyNumber_TrueDivide(done.get(), total_files.get()));
    Ref percent = py::check(PyNumber_Multiply(quotient.get(), py::integer(100).get()));
    return py::check(PyNumber_Long(percent.get()));
}

// Opens one source scene with the pane hidden and converts it; counts it as
// converted when at least one output was written.
void convert_one(PyObject* self, const Ref& source_file, const Ref& output_formats) {
    WindowFrontEnd front(self);
    Ref source_fps = open_source(source_file, front);
    Ref results = call(self, "convert_file", {source_file, output_formats, source_fps});
    bool written = py::any_of(results, [](const Ref& result) { return py::truthy(py::item(result, 1)); });
    if (written) {
        Ref count = attr(self, "successful_files");
        py::setattr(self, "successful_files", py::check(PyNumber_Add(count.get(), py::integer(1).get())));
    } else {
        record_failure(self, source_file, py::str("All conversions failed"));
    }
}

void process_one(PyObject* self, Py_ssize_t index, const Ref& source_file,
                 const Ref& output_formats) {
    Ref position = py::integer(index + 1);
    py::setattr(self, "processed_files", position);
    call(self, "update_progress", {progress_percent(index + 1, attr(self, "total_files"))});
    call(self, "update_status", {py::format("Processing {}/{}", {attr(self, "processed_files"),
                                                                  attr(self, "total_files")})});
    log_msg(self, py::format("\n[{}/{}] {}", {attr(self, "processed_files"), attr(self, "total_files"),
                                              host::os_path("basename", {source_file})}));
    if (auto failure = py::guard([&] { convert_one(self, source_file, output_formats); })) {
        log_msg(self, py::format("  ERROR opening: {}", {*failure}));
        record_failure(self, source_file, *failure);
    }
    call(self, "enable_viewport");
}

bool is_fbx(const Ref& source_file) {
    Ref ext = py::item(host::os_path("splitext", {source_file}), 1);
    return py::equals(py::call_method(ext, "lower"), ".fbx");
}

}  // namespace

// An FBX scene can only be opened with the FBX plug-in loaded, and Maya
// does not always load it at start-up: it is loaded here, as the exporter
// setup does, or every FBX source would fail as an unrecognized file type.
Ref open_source(const Ref& source_file, FrontEnd& front) {
    front.log("  [DEBUG] Creating new scene...");
    host::cmds("file", {}, {{"new", true}, {"force", true}});
    front.suspend_viewport();
    front.log("  [DEBUG] Opening file...");
    if (is_fbx(source_file)) ensure_fbx_plugin();
    if (front.run_scene_scripts()) {
        host::cmds("file", {source_file}, {{"open", true}, {"force", true}});
    } else {
        host::cmds("file", {source_file}, {{"open", true}, {"force", true}, {"executeScriptNodes", false}});
    }
    front.opened(source_file);
    front.log("  [DEBUG] File opened successfully");
    Ref source_fps = host::cmds("currentUnit", {}, {{"q", true}, {"time", true}});
    front.log(py::format("  [DEBUG] Source FPS: {}", {source_fps}));
    return source_fps;
}

void start_conversion(PyObject* self) {
    Ref output_formats = call(self, "get_output_formats");
    if (!py::truthy(output_formats)) {
        host::cmds("warning", {"Select output format"});
        return;
    }
    Ref files = call(self, "collect_files");
    if (!py::truthy(files)) {
        log_msg(self, "No files found");
        return;
    }
    reset_statistics(self, files);

    // From the moment the button starts to change, the finalisation must run:
    // a failure to show the wait cursor would otherwise leave the button
    // disabled for good. Such a failure is not the batch's and still goes up.
    py::finally(
        [&] {
            host::cmds("button", {attr(self, "convert_btn")},
                       {{"e", true}, {"en", false}, {"label", "Processing..."}});
            host::cmds("waitCursor", {}, {{"state", true}});
            log_msg(self, kRule);
            log_msg(self, "Starting batch conversion...");
            log_msg(self, py::format("Files: {} | Formats: {}",
                                     {attr(self, "total_files"),
                                      py::call_method(py::str(", "), "join", {output_formats})}));
            log_msg(self, kRule);
            auto failure = py::guard([&] {
                call(self, "process_files", {files, output_formats});
                log_msg(self, ">>> process_files returned normally");
            });
            if (failure) {
                log_msg(self, py::format("CRITICAL ERROR in process_files: {}", {*failure}));
                record_failure(self, "BATCH PROCESS", *failure);
            }
        },
        // Runs after an interruption too; the interruption then goes on up.
        [&] {
            log_msg(self, ">>> Entering finally block, calling finalize_conversion");
            call(self, "finalize_conversion");
            log_msg(self, ">>> Exited finally block");
        });
}

void process_files(PyObject* self, const Ref& files, const Ref& output_formats) {
    log_msg(self, py::format(">>> process_files STARTED, {} files", {py::integer(py::length(files))}));
    Py_ssize_t index = 0;
    py::for_each(files, [&](const Ref& source_file) {
        process_one(self, index++, source_file, output_formats);
    });
    log_msg(self, ">>> process_files COMPLETED");
}

}  // namespace velmora
