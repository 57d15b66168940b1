// The standard library as the headless batch uses it: modules imported
// once, dicts built in the order their keys are listed, text made at run
// time, and JSON lines.
#pragma once

#include "host/py.hpp"

#include <string>

namespace velmora::host {

using py::Ref;

// An imported standard-library module (imported on first use, then found
// in the interpreter's table of modules).
Ref module(const char* name);
// module.name, e.g. attribute("os", "sep").
Ref attribute(const char* module_name, const char* name);

}  // namespace velmora::host

namespace velmora::py {

// A dict with the keys in the order listed.
Ref dict(std::initializer_list<Keyword> items = {});
void set_item(const Ref& dict, const char* key, const Value& value);
// dict[key]; KeyError when missing.
Ref get_item(const Ref& dict, const char* key);
// dict.get(key) as an optional (None counts as missing).
std::optional<Ref> find_item(const Ref& dict, const char* key);

// A str made from text built at run time (never cached).
Ref text(const std::string& utf8);
double as_double(const Ref& obj);
// A str's UTF-8 bytes with a path's undecodable bytes (surrogate escapes)
// kept as they were, and back: text read from or handed to a file or a
// C++ reader keeps every byte.
std::string bytes_of(const Ref& text);
Ref text_of_bytes(const std::string& bytes);

// One JSON document on one line (ASCII, so any str survives, surrogate
// escapes of undecodable bytes included), and back.
Ref json_line(const Ref& value);  // bytes, ending in "\n"
Ref json_parse(const Ref& line);  // from bytes or str

}  // namespace velmora::py
