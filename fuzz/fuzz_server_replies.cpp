// Any reply body (and a status picked by the first byte) through every request's parsing, and the
// parsed build list through the version sort.
#include "server/UpdateServerRequest.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

void require(bool condition) {
    if (!condition) std::abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    const int64_t statuses[] = {200, 200, 200, 404, 500, 0};
    HTTPResponse reply("http://127.0.0.1:1/cgi/u?op=fuzz&");
    reply.set_status(statuses[data[0] % 6]);
    reply.process(reinterpret_cast<const char*>(data + 1), size - 1);

    UpdateServerRequest::ParsePing(reply);

    std::string build = "B", firmware = "F";
    if (!UpdateServerRequest::ParseQueryBuild(reply, build, firmware))
        require(build == "B" && firmware == "F");
    require(firmware.find_first_of("\r\n") == std::string::npos);

    std::string payload = "P";
    if (!UpdateServerRequest::ParseGetBuild(reply, payload)) require(payload == "P");
    require(payload.find('\n') == std::string::npos);

    UpdateServerRequest::BuildMap builds;
    UpdateServerRequest::ParseGetBuildList(reply, builds);
    for (const auto& [key, value] : builds) {
        require(!key.empty() && key.find_first_of(";\r\n") == std::string::npos);
        require(value.find_first_of(";\r\n") == std::string::npos);
    }
    auto sorted = UpdateServerRequest::SortBuildsByVersion(builds);
    require(sorted.size() == builds.size());
    for (size_t i = 1; i < sorted.size(); ++i)
        require(!UpdateServerRequest::_sortVersion(sorted[i], sorted[i - 1]));

    uint32_t serial = 5, number = 5;
    if (!UpdateServerRequest::ParseGetRecoveryInfo(reply, &serial, &number))
        require(serial == 5 && number == 5);

    std::string token = "T";
    if (UpdateServerRequest::ParseGetDeviceJWT(reply, token)) {
        size_t first = token.find('.');
        size_t second = token.find('.', first + 1);
        require(first >= 2 && second != std::string::npos && second - first > 2 &&
                token.size() - second > 2);
    } else {
        require(token == "T");
    }
    return 0;
}
