#include "headless/publishing.hpp"

#include "engine/naming.hpp"
#include "host/files.hpp"
#include "host/host.hpp"

namespace velmora::headless {
namespace {

bool matches(PyObject* type) { return PyErr_ExceptionMatches(type) != 0; }

// Windows can refuse hard links (FAT, some shares); there a rename refuses
// to replace an existing file too, so it claims the name just as well.
bool rename_refuses_to_replace() { return host::on_windows(); }

// One atomic attempt at a name: true when `candidate` now names the file.
bool claim(const Ref& temp, const Ref& candidate) {
    try {
        host::os("link", {temp, candidate});
        return true;
    } catch (const py::PyError&) {
        if (matches(PyExc_FileExistsError)) {
            PyErr_Clear();
            return false;
        }
        if (!matches(PyExc_OSError) || !rename_refuses_to_replace()) throw;
        PyErr_Clear();
    }
    try {
        host::os("rename", {temp, candidate});
        return true;
    } catch (const py::PyError&) {
        if (!matches(PyExc_FileExistsError)) throw;
        PyErr_Clear();
        return false;
    }
}

bool within_limit(long long counter) {
    Ref limit = py::getattr(host::global("Velmora"), "MAX_INCREMENT");
    return counter <= py::as_long(limit);
}

}  // namespace

std::optional<Ref> publish(const Ref& temp, const Ref& output_file, bool skip_existing) {
    if (claim(temp, output_file)) return output_file;
    if (skip_existing) return std::nullopt;
    return first_claimed(split_name(output_file), within_limit,
                         [&temp](const Ref& candidate) { return claim(temp, candidate); });
}

std::optional<Ref> planned_name(const Ref& output_file, bool skip_existing,
                                const std::function<bool(const Ref&)>& is_free) {
    if (is_free(output_file)) return output_file;
    if (skip_existing) return std::nullopt;
    return first_claimed(split_name(output_file), within_limit, is_free);
}

Ref competition_key(const Ref& relative_path) {
    Ref parts = py::call_method(relative_path, "rpartition", {"/"});
    Ref stem = py::item(py::call(host::attribute("posixpath", "splitext"), {py::item(parts, 2)}), 0);
    Ref bare = py::call(host::attribute("re", "sub"), {"(?:_[0-9]+)+$", "", stem});
    Ref key = py::format("{}/{}", {py::item(parts, 0), bare});
    return py::call_method(key, "casefold");
}

std::vector<std::size_t> competition_groups(const Ref& sources) {
    std::vector<std::size_t> groups;
    Ref number_of = py::dict();
    py::for_each(sources, [&](const Ref& source) {
        Ref key = competition_key(source);
        PyObject* found = PyDict_GetItemWithError(number_of.get(), key.get());
        if (found == nullptr && PyErr_Occurred() != nullptr) throw py::PyError{};
        if (found != nullptr) {
            groups.push_back(static_cast<std::size_t>(py::as_long(Ref::borrow(found))));
            return;
        }
        Ref number = py::integer(static_cast<long long>(py::length(number_of)));
        py::check_status(PyDict_SetItem(number_of.get(), key.get(), number.get()));
        groups.push_back(static_cast<std::size_t>(py::as_long(number)));
    });
    return groups;
}

CompetingChains competing_chains(const Ref& sources) {
    CompetingChains result{{}, competition_groups(sources)};
    for (std::size_t i = 0; i < result.chain_of.size(); ++i) {
        std::size_t chain = result.chain_of[i];
        if (chain >= result.chains.size()) result.chains.resize(chain + 1);
        result.chains[chain].push_back(static_cast<long long>(i));
    }
    return result;
}

}  // namespace velmora::headless
