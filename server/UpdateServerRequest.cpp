#include "server/UpdateServerRequest.h"

#include "aVersion.h"
#include "app/Log.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <stdexcept>

const char* const UpdateServerRequest::default_url = "http://" UPDATER_DEFAULT_HOST "/cgi/u";

namespace {

const char* const delimiters = "\n";

// A reply body as terminated, writable text for strtok_r. A zero byte in the body ends it there.
class Lines {
public:
    explicit Lines(const std::string& body) : text(body.begin(), body.end()) {
        text.push_back('\0');
    }
    // The next token up to any of seps; null when none is left.
    char* next(const char* seps) {
        char* token = strtok_r(started ? nullptr : text.data(), seps, &save);
        started = true;
        return token;
    }

private:
    std::vector<char> text;
    char* save = nullptr;
    bool started = false;
};

const char* _or_empty(const char* text) {
    return text != nullptr ? text : "";
}

// Status 200 and a first line beginning "ok"; leaves lines positioned after that line.
bool _accepted(const char* name, const HTTPResponse& reply, Lines& lines,
               const char** firstLine = nullptr) {
    if (reply.get_status() != 200) {
        if (std::strcmp(name, "ping") == 0)
            Log::log(DEBUG_ServerComm, "PING ==> [%d] [%s]\n", static_cast<int>(reply.get_status()),
                     reply.get_response());
        else
            Log::log(DEBUG_ServerComm, "%s ==> [%d] [%s]\n", name,
                     static_cast<int>(reply.get_status()), reply.get_response());
        return false;
    }
    const char* first = lines.next(delimiters);
    if (first == nullptr || std::strncmp(first, "ok", 2) != 0) {
        Log::log(DEBUG_ServerComm, "ServerCommClass: %s failed [%s]\n", name,
                 reply.get_request().c_str());
        return false;
    }
    if (firstLine != nullptr) *firstLine = first;
    return true;
}

template <class Parse>
bool _request(const char* name, const char* url, const HTTPRequest::Query& query, Parse parse) {
    try {
        HTTPResponse reply =
            HTTPRequest::GET(url != nullptr ? url : UpdateServerRequest::default_url, query);
        return parse(reply);
    } catch (const std::exception& e) {
        Log::log(DEBUG_ServerComm, "%s ==> [%s]\n", name, e.what());
        return false;
    }
}

std::string _hex8(uint32_t value) {
    char text[9];
    std::snprintf(text, sizeof text, "%08X", value);
    return text;
}

// A whole unsigned 32-bit number in the given strtoul base; trailing blanks (a "\r" of a CRLF
// reply) are allowed, anything else after the digits is not.
bool _to_u32(const char* text, int base, uint32_t& value) {
    while (*text == ' ' || *text == '\t')
        ++text;
    if (*text == '-' || *text == '+' || *text == '\0') return false;
    errno = 0;
    char* end = nullptr;
    unsigned long parsed = std::strtoul(text, &end, base);
    if (end == text || errno != 0 || parsed > 0xFFFFFFFFul) return false;
    while (*end == ' ' || *end == '\t' || *end == '\r')
        ++end;
    if (*end != '\0') return false;
    value = static_cast<uint32_t>(parsed);
    return true;
}

// The three numbers of a version text. Throws as stoi does, and std::out_of_range for a part
// that does not fit the version word's byte.
void _version_numbers(const std::vector<std::string>& parts, uint8_t out[3]) {
    for (int i = 0; i < 3; ++i) {
        int n = std::stoi(parts[i]);
        if (n < 0 || n > 255) throw std::out_of_range("version part out of range: " + parts[i]);
        out[i] = static_cast<uint8_t>(n);
    }
}

bool _comparable(const std::string& version) {
    std::vector<std::string> parts = UpdateServerRequest::SplitVorlixaneVersion(version);
    if (parts.size() != 3) return false;
    try {
        uint8_t n[3];
        _version_numbers(parts, n);
        return true;
    } catch (const std::exception&) {
        return false;
    }
}

} // namespace

bool UpdateServerRequest::ParsePing(const HTTPResponse& reply) {
    Lines lines(reply.body());
    return _accepted("ping", reply, lines);
}

bool UpdateServerRequest::ping(const char* url) {
    return _request("ping", url, {{"op", "hi"}, {"rv", "2"}},
                    [](const HTTPResponse& reply) { return ParsePing(reply); });
}

bool UpdateServerRequest::ParseQueryBuild(const HTTPResponse& reply, std::string& build,
                                          std::string& firmware) {
    Lines lines(reply.body());
    if (!_accepted("QueryBuild", reply, lines)) return false;
    if (const char* line = lines.next(delimiters)) build = line;
    if (const char* line = lines.next("\r\n")) firmware = line;
    return true;
}

bool UpdateServerRequest::QueryBuild(uint32_t serial, std::string& build, std::string& firmware,
                                     const char* url) {
    return _request(
        "QueryBuild", url, {{"op", "qu"}, {"sn", _hex8(serial)}},
        [&](const HTTPResponse& reply) { return ParseQueryBuild(reply, build, firmware); });
}

bool UpdateServerRequest::ParseGetBuild(const HTTPResponse& reply, std::string& out) {
    Lines lines(reply.body());
    if (!_accepted("GetBuild", reply, lines)) return false;
    out.clear();
    if (const char* line = lines.next(delimiters)) out = line;
    return true;
}

bool UpdateServerRequest::GetBuild(uint32_t serial, const char* firmware, const char* build,
                                   std::string& out, const char* url, bool noCal) {
    HTTPRequest::Query query{{"op", "bird"},
                             {"sn", _hex8(serial)},
                             {"fw", _or_empty(firmware)},
                             {"bld", _or_empty(build)},
                             {"no_cal", noCal ? "true" : "false"}};
    return _request("GetBuild", url, query,
                    [&](const HTTPResponse& reply) { return ParseGetBuild(reply, out); });
}

bool UpdateServerRequest::ParseGetBuildList(const HTTPResponse& reply, BuildMap& builds) {
    builds.clear();
    Lines lines(reply.body());
    if (!_accepted("GetBuildList", reply, lines)) return false;
    while (char* line = lines.next(delimiters)) {
        Log::log(DEBUG_ServerComm, "%s processing entry: [%s]\n", "GetBuildList", line);
        if (std::strlen(line) < 3) continue;
        char* save = nullptr;
        const char* key = strtok_r(line, ";\r\n", &save);
        if (key == nullptr) continue;
        const char* value = _or_empty(strtok_r(nullptr, ";\r\n", &save));
        if (builds.emplace(key, value).second)
            Log::log(DEBUG_ServerComm, "%s [%.10s][%.10s]\n", "GetBuildList", key, value);
    }
    return true;
}

bool UpdateServerRequest::GetBuildList(uint32_t serial, BuildMap& builds, const char* url) {
    builds.clear();
    return _request("GetBuildList", url, {{"op", "builds"}, {"sn", _hex8(serial)}},
                    [&](const HTTPResponse& reply) { return ParseGetBuildList(reply, builds); });
}

bool UpdateServerRequest::ParseGetRecoveryInfo(const HTTPResponse& reply, uint32_t* serial,
                                               uint32_t* build) {
    Lines lines(reply.body());
    const char* okLine = nullptr;
    if (!_accepted("GetRecoveryInfo", reply, lines, &okLine)) return false;
    const char* serialLine = lines.next(delimiters);
    const char* buildLine = lines.next(delimiters);
    Log::log(DEBUG_ServerComm, "%s [%.20s][%.20s][%.20s]\n", "GetRecoveryInfo", okLine,
             _or_empty(serialLine), _or_empty(buildLine));
    // A garbled number must not become serial number 0 or a wrong build for a recovery.
    uint32_t newSerial = 0, newBuild = 0;
    if ((serialLine != nullptr && !_to_u32(serialLine, 16, newSerial)) ||
        (buildLine != nullptr && !_to_u32(buildLine, 0, newBuild))) {
        Log::log(DEBUG_ServerComm, "%s: not a number in [%.20s][%.20s]\n", "GetRecoveryInfo",
                 _or_empty(serialLine), _or_empty(buildLine));
        return false;
    }
    if (serialLine != nullptr && serial != nullptr) *serial = newSerial;
    if (buildLine != nullptr && build != nullptr) *build = newBuild;
    return true;
}

bool UpdateServerRequest::GetRecoveryInfo(const uint32_t* fingerprint, uint32_t* serial,
                                          uint32_t* build, const char* url) {
    if (fingerprint == nullptr) return false;
    char fp[64];
    std::snprintf(fp, sizeof fp, "%08X%%20%08X%%20%08X%%20%08X", fingerprint[0], fingerprint[1],
                  fingerprint[2], fingerprint[3]);
    return _request(
        "GetRecoveryInfo", url, {{"op", "fix"}, {"fp", fp}, {"brief", "true"}},
        [&](const HTTPResponse& reply) { return ParseGetRecoveryInfo(reply, serial, build); });
}

bool UpdateServerRequest::ParseGetDeviceJWT(const HTTPResponse& reply, std::string& token) {
    Lines lines(reply.body());
    if (!_accepted("GetDeviceJWT", reply, lines)) return false;
    char* line = lines.next(delimiters);
    // An "ok" without a token is no token: report it rather than hand back an empty one.
    if (line == nullptr || std::strlen(line) <= 2) {
        Log::log(DEBUG_ServerComm, "%s: no token in reply\n", "GetDeviceJWT");
        return false;
    }
    Log::log(DEBUG_ServerComm, "%s processing entry: [%s]\n", "GetDeviceJWT", line);
    char* save = nullptr;
    const char* header = strtok_r(line, ".", &save);
    const char* payload = strtok_r(nullptr, ".", &save);
    const char* signature = strtok_r(nullptr, "\r\n", &save);
    for (const char* part : {header, payload, signature})
        if (part == nullptr || std::strlen(part) < 2) return false;
    token = std::string(header) + "." + payload + "." + signature;
    return true;
}

bool UpdateServerRequest::GetDeviceJWT(uint32_t serial, std::string& token, const char* url) {
    return _request("GetDeviceJWT", url,
                    {{"op", "ent_jwt"}, {"sn", _hex8(serial)}, {"json", "false"}},
                    [&](const HTTPResponse& reply) { return ParseGetDeviceJWT(reply, token); });
}

std::vector<std::string> UpdateServerRequest::SplitVorlixaneVersion(const std::string& text) {
    std::vector<std::string> parts;
    size_t start = 0;
    for (;;) {
        size_t dot = text.find('.', start);
        parts.push_back(text.substr(start, dot - start));
        if (dot == std::string::npos) break;
        start = dot + 1;
    }
    if (parts.size() != 3) parts.clear();
    return parts;
}

bool UpdateServerRequest::_sortVersion(const BuildEntry& a, const BuildEntry& b) {
    std::vector<std::string> pa = SplitVorlixaneVersion(a.second);
    std::vector<std::string> pb = SplitVorlixaneVersion(b.second);
    if (pa.empty() && pb.empty()) return false;
    try {
        if (pa.empty() || pb.empty())
            throw std::invalid_argument("not three parts: " + (pa.empty() ? a.second : b.second));
        uint8_t va[3], vb[3];
        _version_numbers(pa, va);
        _version_numbers(pb, vb);
        return !aVersion_IsAtLeastCompare(vb[0], vb[1], vb[2], va[0], va[1], va[2]);
    } catch (const std::exception& e) {
        Log::log(DEBUG_ServerComm, "%s: Exception converting version: %s\n", "_sortVersion",
                 e.what());
        return false;
    }
}

std::vector<UpdateServerRequest::BuildEntry>
UpdateServerRequest::SortBuildsByVersion(const BuildMap& builds) {
    // _sortVersion alone is no strict weak ordering once an entry cannot be compared, and
    // std::sort may then run out of bounds; such entries are kept apart, in key order.
    std::vector<BuildEntry> sorted, rest;
    for (const auto& entry : builds)
        (_comparable(entry.second) ? sorted : rest).push_back(entry);
    std::stable_sort(sorted.begin(), sorted.end(), _sortVersion);
    sorted.insert(sorted.end(), rest.begin(), rest.end());
    return sorted;
}
