#include "headless/channel.hpp"

#include <utility>

namespace velmora::headless {
namespace {

constexpr long long kChunk = 65536;

}  // namespace

Channel::Channel(Ref socket)
    : socket_(std::move(socket)),
      buffer_(py::check(PyObject_CallObject(host::attribute("builtins", "bytearray").get(), nullptr))) {}

void Channel::send(const Ref& message) { py::call_method(socket_, "sendall", {py::json_line(message)}); }

bool Channel::fill() {
    Ref chunk;
    try {
        chunk = py::call_method(socket_, "recv", {py::integer(kChunk)});
    } catch (const py::PyError&) {
        // A worker that died mid-conversation resets the connection; that
        // is its end, told apart from other errors by the caller's poll.
        if (PyErr_ExceptionMatches(PyExc_ConnectionError) != 0) {
            PyErr_Clear();
            return false;
        }
        // Nothing more has arrived on a socket that does not wait.
        if (PyErr_ExceptionMatches(PyExc_BlockingIOError) != 0) {
            PyErr_Clear();
            return true;
        }
        throw;
    }
    if (py::length(chunk) == 0) return false;
    py::call_method(buffer_, "extend", {chunk});
    return true;
}

std::optional<Ref> Channel::next() {
    Ref end = py::call_method(buffer_, "find", {py::check(PyBytes_FromString("\n"))});
    long long at = py::as_long(end);
    if (at < 0) return std::nullopt;
    Ref slice = py::check(PySlice_New(nullptr, py::integer(at + 1).get(), nullptr));
    Ref line = py::check(PyObject_GetItem(buffer_.get(), slice.get()));
    py::check_status(PyObject_DelItem(buffer_.get(), slice.get()));
    return py::json_parse(py::call(host::attribute("builtins", "bytes"), {line}));
}

std::optional<Ref> Channel::receive() {
    for (;;) {
        if (std::optional<Ref> message = next()) return message;
        if (!fill()) return std::nullopt;
    }
}

void Channel::close() { py::swallow([this] { py::call_method(socket_, "close"); }); }

}  // namespace velmora::headless
