// Ctrl-C and SIGTERM while a batch runs.
#pragma once

#include "host/py.hpp"

#include <memory>
#include <utility>
#include <vector>

namespace velmora::headless {

using py::Ref;

// Ctrl-C and SIGTERM are counted rather than raised, so that they land
// between two steps of the loop and never inside a journal write. Ctrl-C
// counts 1, SIGTERM 2 (stop at once). The previous handlers come back
// when this goes.
class Interrupts {
public:
    Interrupts();
    Interrupts(const Interrupts&) = delete;
    Interrupts& operator=(const Interrupts&) = delete;
    ~Interrupts();
    int count() const { return *count_; }

private:
    void install(const char* name, int weight);
    std::shared_ptr<int> count_;
    std::vector<std::pair<Ref, Ref>> previous_;
};

}  // namespace velmora::headless
