// Stand-ins until the Maya Binary and FBX readers arrive: a file of either
// format is refused as unread rather than misread.
#include "scene/source.hpp"

namespace velmora::scene {

SceneFacts read_maya_binary(Source& /*source*/) { throw NotAScene("not read yet"); }
SceneFacts read_fbx_header(Source& /*source*/) { throw NotAScene("not read yet"); }

}  // namespace velmora::scene
