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
// counts 1, SIGTERM 2 (stop at once).
//
// The previous handlers come back with restore(), a step of its own that
// the owner runs on every path, an error's included (with the error held
// aside: it calls Python). The destructor calls no Python: it only lets go
// of the handlers it kept.
class Interrupts {
public:
    Interrupts();
    Interrupts(const Interrupts&) = delete;
    Interrupts& operator=(const Interrupts&) = delete;
    ~Interrupts() = default;
    int count() const { return *count_; }
    // Puts the previous handlers back; later calls do nothing. Call only
    // with no Python error set; raises no Python error of its own.
    void restore();

private:
    void install(const char* name, int weight);
    std::shared_ptr<int> count_;
    std::vector<std::pair<Ref, Ref>> previous_;
};

}  // namespace velmora::headless
