#include "headless/publishing.hpp"

#include "engine/naming.hpp"
#include "headless/temporary_files.hpp"
#include "host/error.hpp"
#include "host/files.hpp"
#include "host/host.hpp"

namespace velmora::headless {
namespace {

bool matches(PyObject* type) { return PyErr_ExceptionMatches(type) != 0; }

// Windows can refuse hard links (FAT, some shares); there a rename refuses
// to replace an existing file too, so it claims the name just as well.
bool rename_refuses_to_replace() { return host::on_windows(); }

// A file system that has no hard links says so with these (exFAT: EPERM).
bool links_refused(const py::PendingError& refused) {
    if (!refused.matches(PyExc_OSError)) return false;
    Ref number = py::getattr(refused.value(), "errno");
    if (number.get() == Py_None) return false;
    Ref errno_module = host::module("errno");
    return py::any_of(py::list({py::getattr(errno_module, "EPERM"), py::getattr(errno_module, "EOPNOTSUPP"),
                                py::getattr(errno_module, "ENOTSUP"), py::getattr(errno_module, "ENOSYS")}),
                      [&number](const Ref& code) {
                          return py::check_status(PyObject_RichCompareBool(number.get(), code.get(), Py_EQ)) == 1;
                      });
}

Ref open_exclusively(const Ref& path) {
    Ref os = host::global("os");
    long long flags = py::as_long(py::getattr(os, "O_WRONLY")) | py::as_long(py::getattr(os, "O_CREAT")) |
                      py::as_long(py::getattr(os, "O_EXCL"));
    return host::os("open", {path, py::integer(flags), py::integer(0666)});
}

// The claim under `candidate`, made exclusively and recorded by its marker
// (temporary_files.hpp); false when the name is taken.
bool make_claim(const Ref& candidate, const Ref& marker) {
    note_claim(marker, candidate, py::none());
    Ref fd;
    try {
        fd = open_exclusively(candidate);
    } catch (const py::PyError&) {
        py::PendingError pending;
        py::swallow([&] { host::remove_if_there(marker); });
        if (pending.matches(PyExc_FileExistsError)) return false;
        pending.rethrow();
    }
    Ref st;
    py::finally([&] { st = host::os("fstat", {fd}); }, [&] { host::os("close", {fd}); });
    note_claim(marker, candidate, py::list({py::getattr(st, "st_dev"), py::getattr(st, "st_ino")}));
    return true;
}

// Where neither a link nor a rename that refuses to replace works: the
// name is claimed by an exclusive create, and the finished file renamed
// over the claim, which only this batch touches while its marker stands.
bool claim_and_rename(const Ref& temp, const Ref& candidate) {
    Ref marker = claim_marker(temp);
    if (!make_claim(candidate, marker)) return false;
    try {
        host::os("rename", {temp, candidate});
    } catch (const py::PyError&) {
        py::PendingError pending;
        py::swallow([&] { drop_claim(marker); });
        py::swallow([&] { host::remove_if_there(marker); });
        pending.rethrow();
    }
    // Published: a marker left now names a claim that is gone, and harms nothing.
    py::swallow([&] {
        host::sync_folder(host::os_path("dirname", {candidate}));
        host::remove_if_there(marker);
    });
    return true;
}

// One atomic attempt at a name: true when `candidate` now names the file.
// A name seen taken is not tried: the link would refuse it anyway.
bool claim(const Ref& temp, const Ref& candidate, PublishWay& way) {
    if (is_taken(candidate)) return false;
    try {
        host::os("link", {temp, candidate});
        way = PublishWay::Link;
        return true;
    } catch (const py::PyError&) {
        // Held aside: asking which platform this is calls Python.
        py::PendingError refused;
        if (refused.matches(PyExc_FileExistsError)) return false;
        if (rename_refuses_to_replace()) {
            if (!refused.matches(PyExc_OSError)) refused.rethrow();
        } else if (!links_refused(refused)) {
            refused.rethrow();
        }
    }
    if (!rename_refuses_to_replace()) {
        host::NoReplace renamed = host::rename_no_replace(temp, candidate);
        if (renamed == host::NoReplace::Unsupported) {
            way = PublishWay::ClaimAndRename;
            return claim_and_rename(temp, candidate);
        }
        way = PublishWay::Rename;
        return renamed == host::NoReplace::Renamed;
    }
    try {
        host::os("rename", {temp, candidate});
        way = PublishWay::Rename;
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

std::optional<Ref> publish(const Ref& temp, const Ref& output_file, bool skip_existing, PublishWay* way) {
    PublishWay used = PublishWay::Link;
    std::optional<Ref> published;
    if (claim(temp, output_file, used)) {
        published = output_file;
    } else if (!skip_existing) {
        published = first_claimed(split_name(output_file), within_limit,
                                  [&](const Ref& candidate) { return claim(temp, candidate, used); });
    }
    if (way != nullptr) *way = used;
    return published;
}

bool is_taken(const Ref& name) { return py::truthy(host::os_path("lexists", {name})) && !is_claimed(name); }

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
