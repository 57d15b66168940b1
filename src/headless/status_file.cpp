#include "headless/status_file.hpp"

#include "host/files.hpp"
#include "host/host.hpp"

namespace velmora::headless {
namespace {

// Readers poll about twice a second: this keeps them current without
// writing for every file of a fast batch.
constexpr double kSecondsBetweenWrites = 0.25;

Ref as_dict(const BatchStatus& status) {
    return py::dict({{"state", py::text(status.state)},
                     {"total", py::integer(status.total)},
                     {"done", py::integer(status.done)},
                     {"converted", py::integer(status.converted)},
                     {"failed", py::integer(status.failed)},
                     {"eta", status.eta ? py::Value(*status.eta) : py::Value(py::none())},
                     {"updated", host::time("time")},
                     {"pid", host::os("getpid", {})}});
}

}  // namespace

void StatusFile::write(const Ref& path, const BatchStatus& status, const Ref& extra) {
    Ref data = as_dict(status);
    if (extra && extra.get() != Py_None) py::call_method(data, "update", {extra});
    // A batch's last word must outlive a power cut; its progress, written
    // a few times a second, need not.
    bool passing = status.state == "running" || status.state == "stopping";
    host::write_json_file(path, data, !passing);
}

void StatusFile::update(const BatchStatus& status, double now, bool force) {
    if (!path_ || path_.get() == Py_None) return;
    if (!force && status.state == last_state_ && now - last_write_ < kSecondsBetweenWrites) return;
    // A status that cannot be written (a full disk) never stops the batch.
    py::guard([&] { write(path_, status, py::none()); });
    last_state_ = status.state;
    last_write_ = now;
}

Ref read_status(const Ref& path) { return host::read_json_file(path); }

}  // namespace velmora::headless
