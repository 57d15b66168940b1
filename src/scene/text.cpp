#include "scene/text.hpp"

namespace velmora::scene {

std::string thousands(std::uint64_t number) {
    std::string digits = std::to_string(number);
    std::string out;
    for (std::size_t i = 0; i < digits.size(); ++i) {
        if (i > 0 && (digits.size() - i) % 3 == 0) out += ',';
        out += digits[i];
    }
    return out;
}

std::string without_copy_number(const std::string& path) {
    if (path.size() < 3 || path.back() != '}') return path;
    std::size_t open = path.rfind('{');
    if (open == std::string::npos || open + 2 > path.size() - 1) return path;
    for (std::size_t i = open + 1; i + 1 < path.size(); ++i) {
        if (path[i] < '0' || path[i] > '9') return path;
    }
    return path.substr(0, open);
}

}  // namespace velmora::scene
