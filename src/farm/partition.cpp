#include "farm/partition.hpp"

#include "farm/support.hpp"
#include "headless/publishing.hpp"
#include "headless/schedule.hpp"

#include <algorithm>
#include <numeric>
#include <set>
#include <utility>

namespace velmora::farm {
namespace {

struct Group {
    std::vector<Py_ssize_t> members;  // ascending: the window's order
    long long work = 0;
};

// Groups in the order of their first source.
std::vector<Group> group_sources(const Ref& sources, const std::vector<long long>& sizes) {
    std::vector<Group> groups;
    std::vector<std::size_t> group_of = headless::competition_groups(sources);
    for (std::size_t i = 0; i < group_of.size(); ++i) {
        if (group_of[i] >= groups.size()) groups.resize(group_of[i] + 1);
        groups[group_of[i]].members.push_back(static_cast<Py_ssize_t>(i));
        groups[group_of[i]].work += work_of(sizes[i], py::item(sources, static_cast<Py_ssize_t>(i)));
    }
    return groups;
}

}  // namespace

long long work_of(long long size, const Ref& source) {
    double seconds = headless::starting_estimate(std::max(size, 0LL), headless::format_of_source(source));
    return static_cast<long long>(seconds * 1e6);
}

std::vector<std::vector<Py_ssize_t>> partition(const Ref& sources,
                                               const std::vector<long long>& sizes,
                                               Py_ssize_t tasks) {
    std::vector<Group> groups = group_sources(sources, sizes);
    // Largest first; equal groups keep the window's order (stable sort).
    std::vector<std::size_t> order(groups.size());
    std::iota(order.begin(), order.end(), 0);
    std::stable_sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) {
        return groups[a].work > groups[b].work;
    });
    const auto count = static_cast<std::size_t>(
        std::min<Py_ssize_t>(tasks, static_cast<Py_ssize_t>(groups.size())));
    std::vector<std::vector<Py_ssize_t>> result(count);
    if (count == 0) return result;
    // (work so far, task): the least loaded task first, the lowest on a tie.
    std::set<std::pair<long long, std::size_t>> load;
    for (std::size_t t = 0; t < count; ++t) load.emplace(0, t);
    for (std::size_t g : order) {
        auto lightest = *load.begin();
        load.erase(load.begin());
        auto& task = result[lightest.second];
        task.insert(task.end(), groups[g].members.begin(), groups[g].members.end());
        load.emplace(lightest.first + groups[g].work, lightest.second);
    }
    for (auto& task : result) std::sort(task.begin(), task.end());
    return result;
}

}  // namespace velmora::farm
