// Whether a process is there, asked of the operating system directly.
#pragma once

namespace velmora::host {

// Whether process `pid` exists (and has not ended). A child of this
// process that has ended is reaped here, so it does not count.
bool process_exists(long long pid) noexcept;

}  // namespace velmora::host
