#include "BuildPath.h"

#include "aDirectory.h"

namespace vx_path {

std::string Join(std::initializer_list<Part> parts) {
    std::string path;
    bool first = true;
    for (const Part& part : parts) {
        if (part.end) break;
        if (!first) path += aDIR_PATH_SEP;
        path += part.text;
        first = false;
    }
    return path;
}

} // namespace vx_path
