#include "headless/publishing.hpp"

#include "engine/naming.hpp"
#include "host/error.hpp"
#include "host/files.hpp"
#include "host/host.hpp"

namespace velmora::headless {
namespace {

bool matches(PyObject* type) { return PyErr_ExceptionMatches(type) != 0; }

// Windows can refuse hard links (FAT, some shares); there a rename refuses
// to replace an existing file too, so it claims the name just as well.
bool rename_refuses_to_replace() { return host::on_windows(); }

// One atomic attempt at a name: true when `candidate` now names the file.
// A name seen taken is not tried: the link would refuse it anyway.
bool claim(const Ref& temp, const Ref& candidate) {
    if (is_taken(candidate)) return false;
    try {
        host::os("link", {temp, candidate});
        return true;
    } catch (const py::PyError&) {
        // Held aside: asking which platform this is calls Python.
        py::PendingError refused;
        if (refused.matches(PyExc_FileExistsError)) return false;
        if (!refused.matches(PyExc_OSError) || !rename_refuses_to_replace()) refused.rethrow();
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

bool is_taken(const Ref& name) { return py::truthy(host::os_path("lexists", {name})); }

std::optional<Ref> planned_name(const Ref& output_file, bool skip_existing, const Ref& planned) {
    auto is_free = [&planned](const Ref& name) {
        return py::check_status(PySet_Contains(planned.get(), name.get())) == 0 && !is_taken(name);
    };
    if (is_free(output_file)) return output_file;
    if (skip_existing) return std::nullopt;
    return first_claimed(split_name(output_file), within_limit, is_free);
}

Ref output_stem(const Ref& relative_path) {
    Ref stem = py::item(py::call(host::attribute("posixpath", "splitext"), {relative_path}), 0);
    return py::call_method(stem, "casefold");
}

namespace {

// Sets of sources that compete, joined as links between them are found.
class Groups {
public:
    explicit Groups(std::size_t n) : parent_(n) {
        for (std::size_t i = 0; i < n; ++i) parent_[i] = i;
    }
    std::size_t root(std::size_t i) {
        while (parent_[i] != i) i = parent_[i] = parent_[parent_[i]];
        return i;
    }
    // The earlier source stays the root, so a group is known by its first.
    void join(std::size_t a, std::size_t b) {
        a = root(a);
        b = root(b);
        if (a != b) parent_[std::max(a, b)] = std::min(a, b);
    }

private:
    std::vector<std::size_t> parent_;
};

}  // namespace

std::vector<std::size_t> competition_groups(const Ref& sources) {
    auto n = static_cast<std::size_t>(py::length(sources));
    Groups groups(n);
    Ref first_of = py::dict();  // stem -> the first source with it
    std::vector<Ref> stems(n);
    for (std::size_t i = 0; i < n; ++i) {
        stems[i] = output_stem(py::item(sources, static_cast<Py_ssize_t>(i)));
        PyObject* found = PyDict_GetItemWithError(first_of.get(), stems[i].get());
        if (found == nullptr && PyErr_Occurred() != nullptr) throw py::PyError{};
        if (found != nullptr) {
            groups.join(static_cast<std::size_t>(py::as_long(Ref::borrow(found))), i);
        } else {
            py::check_status(PyDict_SetItem(first_of.get(), stems[i].get(), py::integer(static_cast<long long>(i)).get()));
        }
    }
    // Each stem's shorter forms, a numbered suffix at a time: a source
    // with one of them competes with this one.
    Ref strip = host::attribute("re", "compile");
    Ref suffix = py::call(strip, {"_[0-9]+$"});
    for (std::size_t i = 0; i < n; ++i) {
        Ref shorter = stems[i];
        for (;;) {
            Ref cut = py::call_method(suffix, "sub", {"", shorter, 1});
            if (py::check_status(PyObject_RichCompareBool(cut.get(), shorter.get(), Py_EQ)) == 1) break;
            shorter = cut;
            PyObject* found = PyDict_GetItemWithError(first_of.get(), shorter.get());
            if (found == nullptr && PyErr_Occurred() != nullptr) throw py::PyError{};
            if (found != nullptr) groups.join(static_cast<std::size_t>(py::as_long(Ref::borrow(found))), i);
        }
    }
    // Numbered by first source.
    std::vector<std::size_t> number(n, n);
    std::vector<std::size_t> result(n);
    std::size_t next = 0;
    for (std::size_t i = 0; i < n; ++i) {
        std::size_t r = groups.root(i);
        if (number[r] == n) number[r] = next++;
        result[i] = number[r];
    }
    return result;
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
