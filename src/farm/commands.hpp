// The four farm commands, each given its arguments without the command's
// own name, and the argparse plumbing they share.
#pragma once

#include "farm/support.hpp"

namespace velmora::farm {

int plan(const Ref& argv);
int run_task(const Ref& argv);
int report(const Ref& argv);
int submit(const Ref& argv);

// argparse.ArgumentParser(prog="velmora-batch <command>", description=...).
Ref new_parser(const char* command, const char* description);
// parser.add_argument(name, **options) and parser.parse_args(argv).
void add_argument(const Ref& parser, const char* name, py::Keywords options);
Ref parse(const Ref& parser, const Ref& argv);

// os.path.abspath(path).
Ref absolute(const Ref& path);

}  // namespace velmora::farm
