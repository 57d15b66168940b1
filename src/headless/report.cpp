// The batch's statistics report: the window's text, from a results dict.
#include "headless/batch.hpp"

#include "core/report.hpp"
#include "host/stdlib.hpp"

namespace velmora::headless {

Ref report_text(const Ref& results) {
    return statistics_text(py::get_item(results, "start_time"), py::get_item(results, "end_time"),
                           py::get_item(results, "total"), py::get_item(results, "converted"),
                           py::get_item(results, "failed"), py::length(py::get_item(results, "skipped")));
}

}  // namespace velmora::headless
