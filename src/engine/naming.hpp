// The order in which output names are tried: the name itself, then
// numbered copies from _001 up to the limit, then time-stamped names.
#pragma once

#include "core/converter.hpp"

#include <functional>

namespace velmora {

// A path's directory, and its file name split at the extension.
struct NameParts {
    Ref directory;
    Ref name;
    Ref ext;
};
NameParts split_name(const Ref& filepath);

// Tries, in order, the numbered names of a path while `within_limit`
// allows their number, then its time-stamped names, and returns the first
// one that `claim` takes. `claim` is where "free" is decided: a test of
// existence in the window, one atomic step on the file system in the
// headless batch.
Ref first_claimed(const NameParts& parts, const std::function<bool(long long)>& within_limit,
                  const std::function<bool(const Ref&)>& claim);

}  // namespace velmora
