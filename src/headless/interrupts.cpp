#include "headless/interrupts.hpp"

#include "host/callback.hpp"
#include "host/stdlib.hpp"

namespace velmora::headless {

Interrupts::Interrupts() : count_(std::make_shared<int>(0)) {
    install("SIGINT", 1);
    install("SIGTERM", 2);
}

void Interrupts::restore() {
    for (const auto& handler : previous_) {
        py::swallow([&handler] {
            py::call(host::attribute("signal", "signal"), {handler.first, handler.second});
        });
    }
    previous_.clear();
}

void Interrupts::install(const char* name, int weight) {
    std::shared_ptr<int> count = count_;
    Ref handler = host::make_callback(
        [count, weight] {
            *count += weight;
            return py::none();
        },
        2);
    Ref signum = host::attribute("signal", name);
    // Only the main thread may set handlers; elsewhere no signal reaches
    // the batch anyway.
    py::swallow([&] {
        Ref previous = py::call(host::attribute("signal", "signal"), {signum, handler});
        previous_.emplace_back(signum, previous);
    });
}

}  // namespace velmora::headless
