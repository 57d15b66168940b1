#include "headless/resume.hpp"

#include "headless/temporary_files.hpp"
#include "host/host.hpp"

namespace velmora::headless {
namespace {

// The folders of the outputs, each once (a crash between journalling a
// source and removing its temporary files leaves some of finished ones).
Ref source_folders(const Ledger& ledger) {
    Ref folders = py::list();
    Ref seen = py::check(PySet_New(nullptr));
    for (long long i = 0; i < ledger.total(); ++i) {
        Ref folder = host::os_path("dirname", {ledger.output_base(i)});
        if (!py::truthy(folder)) folder = py::str(".");
        if (py::check_status(PySet_Contains(seen.get(), folder.get())) == 1) continue;
        py::check_status(PySet_Add(seen.get(), folder.get()));
        py::append(folders, folder);
    }
    return folders;
}

Ref own_format(const Ref& source_file) {
    Ref ext = py::call_method(py::item(host::os_path("splitext", {source_file}), 1), "lower");
    return py::check(PySequence_GetSlice(ext.get(), 1, PY_SSIZE_T_MAX));
}

bool only_own_format_missing(const Ledger& ledger, long long index) {
    Ref own = own_format(ledger.source(index));
    return !py::any_of(ledger.formats_for(index), [&own](const Ref& f) {
        return py::check_status(PyObject_RichCompareBool(f.get(), own.get(), Py_EQ)) == 0;
    });
}

}  // namespace

void recover_leftovers(Ledger& ledger) {
    py::for_each(leftovers(source_folders(ledger), ledger.batch_id()), [&](const Ref& leftover) {
        Ref temp = py::item(leftover, 0);
        long long index = py::as_long(py::item(leftover, 1));
        Ref ext = py::item(leftover, 2);
        if (!ledger.notes_publishing() && index < ledger.total() && !ledger.finished(index)) {
            Ref base = ledger.output_base(index);
            Ref output = py::check(PyUnicode_Concat(base.get(), ext.get()));
            if (std::optional<Ref> name = published_name(temp, output)) {
                ledger.carry(index, *name, format_of(output));
            }
        }
        discard(temp);
    });
}

std::deque<long long> sources_to_convert(Ledger& ledger) {
    std::deque<long long> queue;
    for (long long i = 0; i < ledger.total(); ++i) {
        if (ledger.finished(i)) continue;
        Ref carried = ledger.carried(i);
        if (py::length(carried) > 0 && only_own_format_missing(ledger, i)) {
            ledger.record(i, Outcome{true, carried, py::list(), py::none()});
            continue;
        }
        queue.push_back(i);
    }
    return queue;
}

}  // namespace velmora::headless
