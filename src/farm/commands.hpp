// The four farm commands (farm/farm.hpp) and the argparse plumbing they
// share.
#pragma once

#include "farm/farm.hpp"
#include "farm/support.hpp"

namespace velmora::farm {

// argparse.ArgumentParser(prog="velmora-batch <command>", description=...).
Ref new_parser(const char* command, const char* description);
// parser.add_argument(name, **options) and parser.parse_args(argv).
void add_argument(const Ref& parser, const char* name, py::Keywords options);
Ref parse(const Ref& parser, const Ref& argv);

// os.path.abspath(path).
Ref absolute(const Ref& path);

}  // namespace velmora::farm
