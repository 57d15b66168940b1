// Cutting a batch's sources into farm tasks.
#pragma once

#include "host/py.hpp"

#include <vector>

namespace velmora::farm {

using py::Ref;

// What decides whether two sources can compete for one output name: the
// folder and the base name without its extension, letter case folded and
// any trailing numbered suffixes (_001, _002_001, a time stamp) cut. a.ma
// and a.fbx both make a.mb; a_001.ma makes a_001.mb, the name a.fbx takes
// when a.mb exists. Case is folded because the share may be served from a
// file system that ignores it.
Ref competition_key(const Ref& relative_path);

// The sources (relative paths, the window's order) cut into at most
// `tasks` non-empty tasks, each a list of indices in ascending order.
// Sources with one competition key share a task, so their numbered names
// come out as one sequential batch gives them. Groups go, largest first,
// to the task with the least work so far; the result depends on nothing
// but the arguments.
std::vector<std::vector<Py_ssize_t>> partition(const Ref& sources,
                                               const std::vector<long long>& sizes,
                                               Py_ssize_t tasks);

// The work a source stands for: its size plus a fixed cost per file (every
// scene costs an open and a save however small it is, so a task of many
// tiny files is not taken for an empty one).
long long work_of(long long size);

}  // namespace velmora::farm
