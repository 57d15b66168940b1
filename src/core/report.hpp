// The statistics report's text: the window's statistics window shows it,
// velmora-batch and batch_report print it.
#pragma once

#include "host/py.hpp"

namespace velmora {

// `failed` is a sequence of (source, reason) pairs; start and end are
// seconds since the epoch. A failed source is named by its file name (the
// window's report), or, given the batch's `folder`, by its path in it
// ("/"-separated), so that sh010/anim.ma and sh020/anim.ma are told apart.
py::Ref statistics_text(const py::Ref& start, const py::Ref& end, const py::Ref& total,
                        const py::Ref& successful, const py::Ref& failed, Py_ssize_t skipped,
                        const py::Ref& folder = py::Ref());

}  // namespace velmora
