// The converter object's operations. Each is the body of one method of the
// class Velmora: it receives the converter (borrowed) and the arguments the
// interpreter passed, and throws py::PyError with the error set on failure.
#pragma once

#include "host/host.hpp"

namespace velmora {

using py::Ref;

// The rule of 50 "=" that frames a batch in the log and the report.
inline constexpr char kRule[] = "==================================================";

// core/converter.cpp
void init(PyObject* self);
// core/log.cpp
void log(PyObject* self, const Ref& msg);
// A message of the log on sys.stdout alone, time-stamped as log() stamps
// it, and flushed (a headless worker's output is its log file).
void print_log(const Ref& msg);
// ui/main_window.cpp
void create_ui(PyObject* self);
void browse_folder(PyObject* self);
void update_status(PyObject* self, const Ref& msg);
void update_progress(PyObject* self, const Ref& val);
// engine/sources.cpp
Ref get_source_extensions(PyObject* self);
Ref get_output_formats(PyObject* self);
Ref collect_files(PyObject* self);
// engine/naming.cpp
Ref get_incremental_filename(PyObject* self, const Ref& filepath);
// engine/viewport.cpp
void disable_viewport(PyObject* self);
void enable_viewport(PyObject* self);
// engine/fbx_presets.cpp
void setup_fbx_export(PyObject* self);
// engine/conversion.cpp
Ref convert_file(PyObject* self, const Ref& source_file, const Ref& output_formats,
                 const Ref& source_fps);
// engine/batch.cpp
void start_conversion(PyObject* self);
void process_files(PyObject* self, const Ref& files, const Ref& output_formats);
// engine/finalize.cpp
void finalize_conversion(PyObject* self);
// ui/help_about.cpp
void show_about(PyObject* self);
void show_help(PyObject* self);
// ui/statistics.cpp
void show_statistics(PyObject* self);
void save_stats(PyObject* self, const Ref& stats_text);

// Calls one of the converter's methods through the object, so that a method
// replaced on the instance or in a subclass is the one that runs.
Ref call(PyObject* self, const char* method, py::Values args = {});

// self.log(msg): the one channel for diagnostic messages.
void log_msg(PyObject* self, const py::Value& msg);

// Writes text to a UTF-8 text file. Characters UTF-8 cannot hold (the
// undecodable bytes of a file name) are written as backslash escapes rather
// than losing the whole text.
void write_text(const Ref& file, const Ref& text);

// An attribute of the converter (a control name, a statistic, ...).
Ref attr(PyObject* self, const char* name);

}  // namespace velmora
