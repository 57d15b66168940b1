// Small helpers the farm's commands share: standard-library modules, JSON
// files, atomic writes and console lines. Text stays in Python str objects.
#pragma once

#include "headless/options.hpp"
#include "host/files.hpp"
#include "host/stdlib.hpp"

#include <string>

namespace velmora::farm {

using py::Ref;
using headless::UsageError;

using host::module;
using py::dict;

// The C++ text of a str, UTF-8 with surrogate escapes kept as bytes
// (for error messages only).
std::string text(const Ref& str);

// os.path.join(a, b); os.path.exists(path) (host/files.hpp).
Ref join(const Ref& a, const py::Value& b);
using host::exists;

// The whole text of a UTF-8 file, and a file written aside and then moved
// into place, so that a reader (a node, a user's editor) never sees half a
// description. `replace` false: fails with FileExistsError rather than
// replace a file that is there (a hard link does not replace).
Ref read_text(const Ref& path);
void write_text_file(const Ref& path, const Ref& text, bool replace);

// json.dumps, indented when `pretty`.
Ref to_json(const Ref& value, bool pretty);

// A line on stdout or stderr, flushed (a farm's log is a file).
void say(const Ref& line);
void warn(const Ref& line);
// dict.get(key) with None when missing.
Ref get(const Ref& mapping, const char* key);

}  // namespace velmora::farm
