// The argparse plumbing of the farm's commands.
#include "farm/commands.hpp"

#include "host/stdlib.hpp"

namespace velmora::farm {

Ref new_parser(const char* command, const char* description) {
    Ref parser_class = py::getattr(module("argparse"), "ArgumentParser");
    return py::call(parser_class, {},
                    {{"prog", py::format("velmora-batch {}", {command})}, {"description", description}});
}

void add_argument(const Ref& parser, const char* name, py::Keywords options) {
    py::call(py::getattr(parser, "add_argument"), {name}, options);
}

Ref parse(const Ref& parser, const Ref& argv) {
    return py::call_method(parser, "parse_args", {argv});
}

Ref absolute(const Ref& path) {
    return py::call(py::getattr(py::getattr(module("os"), "path"), "abspath"), {path});
}

}  // namespace velmora::farm
