// The statistics window and the saving of its text: the main window's
// report (ui/statistics.cpp) and any other report of a batch.
#pragma once

#include "host/py.hpp"

#include <functional>

namespace velmora::ui {

using py::Ref;

// The statistics window (statsWin, replacing one already open): `heading`
// over the report's text, a Save button that calls `save` (with the one
// value Maya passes a button's command) and a Close button.
void show_report_window(const char* heading, const Ref& text, const Ref& save);

// Asks for a file (".txt" added to a name without an extension) and
// writes `text` there; `saved(path)` runs once it is written, before the
// "Saved!" dialog. A failure to write is a Maya warning.
void save_report(const Ref& text, const std::function<void(const Ref& path)>& saved);

}  // namespace velmora::ui
