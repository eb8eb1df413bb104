/*
 * Path joining for the application: BuildPath(first, more..., nullptr) -> std::string.
 */
#ifndef VORLIXANE_BUILDPATH_H
#define VORLIXANE_BUILDPATH_H

#include <cstddef>
#include <initializer_list>
#include <string>
#include <string_view>

namespace vx_path {

// One argument of BuildPath. A null pointer ends the list: it and every part after it are
// ignored.
struct Part {
    Part(std::nullptr_t) : end(true) {}
    Part(const char* text) : text(text ? text : ""), end(text == nullptr) {}
    Part(const std::string& text) : text(text) {}
    Part(std::string_view text) : text(text) {}

    std::string_view text;
    bool end = false;
};

std::string Join(std::initializer_list<Part> parts);

} // namespace vx_path

// Starts with the first part and appends, for each further part up to a null, "/" and the
// part. The separator is always inserted, so BuildPath("a/", "b", nullptr) is "a//b". No
// length limit. The closing nullptr may be left out.
template <typename... More> std::string BuildPath(const vx_path::Part& first, const More&... more) {
    return vx_path::Join({first, vx_path::Part(more)...});
}

#endif
