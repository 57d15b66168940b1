// velmora.inspect(path): what the scene reader finds in a file, as a dict.
#pragma once

#include "host/ref.hpp"
#include "scene/scene_file.hpp"

namespace velmora::scene {

// A scene's facts for C++ callers (a worker's own reading of its source
// and outputs): OSError when the file cannot be read, ValueError (one
// line) when it is no scene.
SceneFacts read_facts(const py::Ref& path);

// velmora.inspect(path) for C++ callers: the reading as a dict. OSError when
// the file cannot be read, ValueError (one line) when it is no scene.
py::Ref inspect_file(const py::Ref& path);

PyMethodDef* entry_points();

}  // namespace velmora::scene
