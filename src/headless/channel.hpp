// The conversation between the controller and one worker: JSON documents,
// one per line, over a local socket of their own. Nothing Maya or a
// plug-in prints can reach it: the worker's standard output and error go
// to its log file.
#pragma once

#include "host/stdlib.hpp"

#include <optional>

namespace velmora::headless {

using py::Ref;

class Channel {
public:
    explicit Channel(Ref socket);

    void send(const Ref& message);
    // Takes what has arrived on a readable socket. False at the end of the
    // stream (the other side closed or died).
    bool fill();
    // The next whole message that has arrived, if any.
    std::optional<Ref> next();
    // Blocks until the next message; nothing when the stream ended.
    std::optional<Ref> receive();

    const Ref& socket() const { return socket_; }
    void close();

private:
    Ref socket_;
    Ref buffer_;  // bytearray of what arrived and is not yet a whole line
};

}  // namespace velmora::headless
