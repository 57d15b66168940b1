#include "headless/schedule.hpp"

#include "host/host.hpp"

#include <algorithm>
#include <functional>
#include <limits>

namespace velmora::headless {
namespace {

constexpr double kMegabyte = 1024.0 * 1024.0;

// Starting rates, until the batch has measured its own: a fixed cost per
// file (a new scene, the open and the saves, however small the scene)
// and seconds per megabyte by source format. Only their proportions
// matter for the order; measurements replace them.
constexpr double kFixedSeconds = 2.0;
constexpr std::array<double, 3> kSecondsPerMegabyte = {1.0, 0.5, 0.8};  // ma, mb, fbx

// What one Maya needs: Maya itself in batch mode, and a loaded scene
// takes several times its size on disk (nodes, their attributes and the
// undo queue), taken as 8 times.
constexpr long long kMayaBytes = 1536LL * 1024 * 1024;
constexpr long long kSceneExpansion = 8;

// The order is ranked again each time the files measured have doubled.
constexpr long long kFirstRerank = 2;

long long size_of(const Ref& path) {
    long long size = 0;
    py::guard([&] { size = py::as_long(py::getattr(host::os("stat", {path}), "st_size")); });
    return size;
}

}  // namespace

// ------------------------------------------------------------- costs

SceneFormat format_of_source(const Ref& path) {
    Ref ext = py::call_method(py::item(host::os_path("splitext", {path}), 1), "lower");
    if (py::equals(ext, ".mb")) return SceneFormat::Binary;
    if (py::equals(ext, ".fbx")) return SceneFormat::Fbx;
    return SceneFormat::Ascii;
}

double starting_estimate(long long bytes, SceneFormat format) {
    return kFixedSeconds + static_cast<double>(bytes) / kMegabyte *
                               kSecondsPerMegabyte[static_cast<std::size_t>(format)];
}


double CostModel::estimate(long long bytes, SceneFormat format) const {
    const Fit& fit = fits_[static_cast<std::size_t>(format)];
    double mb = static_cast<double>(bytes) / kMegabyte;
    double spread = fit.n * fit.sum_bb - fit.sum_b * fit.sum_b;
    if (fit.n >= 2 && spread > 1e-9 * fit.n * fit.sum_bb) {
        double slope = std::max(0.0, (fit.n * fit.sum_bs - fit.sum_b * fit.sum_s) / spread);
        double intercept = std::max(0.0, (fit.sum_s - slope * fit.sum_b) / fit.n);
        return intercept + slope * mb;
    }
    // Too few sizes to draw a line: the starting rates, scaled to what all
    // files measured so far took against what they were expected to take.
    double measured = 0;
    double expected = 0;
    for (std::size_t f = 0; f < fits_.size(); ++f) {
        measured += fits_[f].sum_s;
        expected += fits_[f].n * kFixedSeconds + fits_[f].sum_b * kSecondsPerMegabyte[f];
    }
    double scale = measured > 0 && expected > 0 ? measured / expected : 1.0;
    return scale * starting_estimate(bytes, format);
}

void CostModel::observe(long long bytes, SceneFormat format, double seconds) {
    Fit& fit = fits_[static_cast<std::size_t>(format)];
    double mb = static_cast<double>(bytes) / kMegabyte;
    fit.n += 1;
    fit.sum_b += mb;
    fit.sum_s += seconds;
    fit.sum_bb += mb * mb;
    fit.sum_bs += mb * seconds;
}

long long CostModel::observed() const {
    double n = 0;
    for (const Fit& fit : fits_) n += fit.n;
    return static_cast<long long>(n);
}

// ------------------------------------------------------------ memory

long long memory_for(long long bytes) { return kMayaBytes + kSceneExpansion * std::max(bytes, 0LL); }

// Linux says what it can give without swapping (MemAvailable); elsewhere
// the physical memory is the best guess there is.
std::optional<long long> available_memory() {
    std::optional<long long> found;
    py::guard([&] {
        Ref text;
        Ref file = py::call(py::builtin("open"), {"/proc/meminfo"});
        py::with(file, [&text](const Ref& f) { text = py::call_method(f, "read"); });
        Ref match = py::call(host::attribute("re", "search"), {"MemAvailable:\\s*([0-9]+) kB", text});
        if (match.get() != Py_None) {
            found = py::as_long(py::call(py::builtin("int"), {py::call_method(match, "group", {1})})) * 1024;
        }
    });
    if (found) return found;
    py::guard([&] {
        long long page = py::as_long(host::os("sysconf", {"SC_PAGE_SIZE"}));
        long long pages = py::as_long(host::os("sysconf", {"SC_PHYS_PAGES"}));
        found = page * pages;
    });
    return found;
}

// ---------------------------------------------------------- schedule

Schedule::Schedule(const Ref& sources, const CompetingChains& chains, const std::deque<long long>& wanted)
    : chains_(chains.chains), group_of_(chains.chain_of) {
    auto n = static_cast<std::size_t>(py::length(sources));
    bytes_.resize(n);
    formats_.resize(n);
    wanted_.assign(n, false);
    for (long long i : wanted) {
        Ref path = py::item(sources, static_cast<Py_ssize_t>(i));
        bytes_[static_cast<std::size_t>(i)] = size_of(path);
        formats_[static_cast<std::size_t>(i)] = format_of_source(path);
        wanted_[static_cast<std::size_t>(i)] = true;
    }
    waiting_ = wanted.size();
    next_.assign(chains_.size(), 0);
    in_hand_.assign(chains_.size(), false);
    rank_of_.assign(chains_.size(), 0.0);
    rerank_all();
}

double Schedule::estimate(long long index) const {
    auto i = static_cast<std::size_t>(index);
    return model_.estimate(bytes_[i], formats_[i]);
}

std::optional<long long> Schedule::head(std::size_t group) const {
    const std::vector<long long>& chain = chains_[group];
    for (std::size_t p = next_[group]; p < chain.size(); ++p) {
        if (wanted_[static_cast<std::size_t>(chain[p])]) return chain[p];
    }
    return std::nullopt;
}

// A chain that may start is ranked by all it still has to do.
void Schedule::rank(std::size_t group) {
    std::optional<long long> first = head(group);
    if (first) ready_.erase({rank_of_[group], *first});
    if (in_hand_[group] || !first) return;
    double remaining = 0;
    const std::vector<long long>& chain = chains_[group];
    for (std::size_t p = next_[group]; p < chain.size(); ++p) {
        if (wanted_[static_cast<std::size_t>(chain[p])]) remaining += estimate(chain[p]);
    }
    rank_of_[group] = -remaining;
    ready_.emplace(rank_of_[group], *first);
}

void Schedule::rerank_all() {
    for (std::size_t g = 0; g < chains_.size(); ++g) rank(g);
    reranked_at_ = model_.observed();
}

std::size_t Schedule::fits_in(long long memory) const {
    std::vector<long long> needs;
    for (std::size_t i = 0; i < bytes_.size(); ++i) {
        if (wanted_[i]) needs.push_back(memory_for(bytes_[i]));
    }
    std::sort(needs.begin(), needs.end(), std::greater<>());
    std::size_t count = 0;
    long long total = 0;
    for (long long need : needs) {
        if (total + need > memory) return std::max<std::size_t>(count, 1);
        total += need;
        ++count;
    }
    return std::numeric_limits<std::size_t>::max();  // all of them at once
}

std::optional<long long> Schedule::take(std::optional<long long> memory) {
    for (auto it = ready_.begin(); it != ready_.end(); ++it) {
        long long index = it->second;
        long long needs = memory_for(bytes_[static_cast<std::size_t>(index)]);
        if (memory && memory_in_hand_ > 0 && memory_in_hand_ + needs > *memory) continue;
        ready_.erase(it);
        std::size_t group = group_of_[static_cast<std::size_t>(index)];
        const std::vector<long long>& chain = chains_[group];
        next_[group] = static_cast<std::size_t>(std::find(chain.begin(), chain.end(), index) - chain.begin()) + 1;
        in_hand_[group] = true;
        --waiting_;
        memory_in_hand_ += needs;
        return index;
    }
    return std::nullopt;
}

void Schedule::finished(long long index, std::optional<double> seconds) {
    auto i = static_cast<std::size_t>(index);
    memory_in_hand_ -= memory_for(bytes_[i]);
    in_hand_[group_of_[i]] = false;
    if (seconds) model_.observe(bytes_[i], formats_[i], *seconds);
    if (model_.observed() >= std::max(kFirstRerank, 2 * reranked_at_)) {
        rerank_all();
    } else {
        rank(group_of_[i]);
    }
}

void Schedule::put_back(long long index) {
    auto i = static_cast<std::size_t>(index);
    std::size_t group = group_of_[i];
    const std::vector<long long>& chain = chains_[group];
    memory_in_hand_ -= memory_for(bytes_[i]);
    in_hand_[group] = false;
    next_[group] = static_cast<std::size_t>(std::find(chain.begin(), chain.end(), index) - chain.begin());
    ++waiting_;
    rank(group);
}

}  // namespace velmora::headless
