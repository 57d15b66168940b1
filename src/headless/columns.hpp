// Text for a terminal's line: measured and cut in the columns a terminal
// gives it, never in bytes.
#pragma once

#include <string>

namespace velmora::headless {

// The longest start of `line` (UTF-8) that takes at most `columns` columns
// on a terminal: wide and fullwidth characters take two, combining marks
// and format characters none. A character is never split; control
// characters (a line break in a file name, an escape) are shown as "?"
// so that they cannot move the cursor. Invalid UTF-8 is shown as "?" too.
std::string fit_columns(const std::string& line, std::size_t columns);

}  // namespace velmora::headless
