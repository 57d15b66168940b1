// Cutting a batch's sources into farm tasks.
#pragma once

#include "host/py.hpp"

#include <vector>

namespace velmora::farm {

using py::Ref;

// The sources (relative paths, the window's order) cut into at most
// `tasks` non-empty tasks, each a list of indices in ascending order.
// Sources that can compete for an output name (headless/publishing.hpp)
// share a task, so their numbered names
// come out as one sequential batch gives them. Groups go, largest first,
// to the task with the least work so far; the result depends on nothing
// but the arguments.
std::vector<std::vector<Py_ssize_t>> partition(const Ref& sources,
                                               const std::vector<long long>& sizes,
                                               Py_ssize_t tasks);

// The work a source stands for, in microseconds: the batch's starting
// estimate from its size and format (headless/schedule.hpp), a fixed cost
// per file included, so a task of many tiny files is not taken for an
// empty one. Within a task, the batch then puts the biggest first.
long long work_of(long long size, const Ref& source);

}  // namespace velmora::farm
