// Prints what the readers find in files, one fact a line: for looking at a
// reader's output (and a fuzz finding's) without the Python module.
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>

#include "scene/source.hpp"

namespace {

void dump(const velmora::scene::SceneFacts& facts) {
    std::printf("format %s\nversion %s\nunits %s %s %s\n", velmora::scene::format_name(facts.format),
                facts.version.c_str(), facts.units.linear.c_str(), facts.units.angle.c_str(),
                facts.units.time.c_str());
    for (const auto& plugin : facts.requires_plugins) std::printf("requires %s %s\n", plugin.first.c_str(), plugin.second.c_str());
    for (const auto& info : facts.file_info) std::printf("fileInfo %s = %s\n", info.first.c_str(), info.second.c_str());
    for (const auto& ref : facts.references) {
        std::printf("reference %s ns=%s node=%s loaded=%d\n", ref.path.c_str(), ref.name_space.c_str(), ref.node.c_str(),
                    ref.loaded);
    }
    std::printf("parents_known %d\n", facts.parents_known);
    for (const auto& node : facts.nodes) std::printf("node %s %s parent=%s\n", node.type.c_str(), node.name.c_str(), node.parent.c_str());
    for (const auto& script : facts.script_nodes) {
        std::printf("script %s st=%d python=%d bytes=%llu sha256=%s whole=%d\n", script.name.c_str(), script.type.value_or(-1),
                    script.python, static_cast<unsigned long long>(script.bytes), script.sha256.c_str(), script.held_whole);
    }
    if (facts.playback) {
        std::printf("playback %g %g %g %g\n", facts.playback->min, facts.playback->max, facts.playback->ast, facts.playback->aet);
    }
    for (const auto& file : facts.external_files) std::printf("file %s.%s %s\n", file.node.c_str(), file.attribute.c_str(), file.path.c_str());
    for (const auto& line : facts.problems) std::printf("problem %s\n", line.c_str());
}

}  // namespace

int main(int argc, char** argv) {
    int status = 0;
    for (int i = 1; i < argc; ++i) {
        std::ifstream in(argv[i], std::ios::binary);
        std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        try {
            dump(velmora::scene::read_scene(bytes));
        } catch (const velmora::scene::NotAScene& refused) {
            std::printf("not a scene: %s\n", refused.what());
            status = 1;
        }
    }
    return status;
}
