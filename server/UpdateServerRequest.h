// Client side of the update server protocol: one GET to "/cgi/u" per request, a line-oriented
// text reply whose first line begins with "ok". Every operation returns false (with a debug line
// under DEBUG_ServerComm) instead of throwing; output arguments are then left as they were.
#pragma once

#include "server/HTTPRequest.h"

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <utility>
#include <vector>

class UpdateServerRequest {
public:
    using BuildMap = std::map<std::string, std::string>; // build text -> version text
    using BuildEntry = std::pair<std::string, std::string>;

    // Used when an operation is given a null url.
    static const char* const default_url;

    static bool ping(const char* url);
    // build and firmware are set only from the lines present in the reply.
    static bool QueryBuild(uint32_t serial, std::string& build, std::string& firmware,
                           const char* url);
    // out receives the BIRD file as standard Base64.
    static bool GetBuild(uint32_t serial, const char* firmware, const char* build, std::string& out,
                         const char* url, bool noCal);
    // builds is emptied first; a build listed twice keeps its first version.
    static bool GetBuildList(uint32_t serial, BuildMap& builds, const char* url);
    // fingerprint points to four words.
    static bool GetRecoveryInfo(const uint32_t* fingerprint, uint32_t* serial, uint32_t* build,
                                const char* url);
    static bool GetDeviceJWT(uint32_t serial, std::string& token, const char* url);

    // Newest version first. Entries whose version is not three numbers follow, in key order.
    static std::vector<BuildEntry> SortBuildsByVersion(const BuildMap& builds);
    // The three parts of "major.minor.patch", or nothing when there are not exactly three.
    static std::vector<std::string> SplitVorlixaneVersion(const std::string& text);
    // a's version is greater than b's; false when either cannot be compared.
    static bool _sortVersion(const BuildEntry& a, const BuildEntry& b);

    // Standard Base64 with "=" padding. Both return a buffer to release with free(), terminated
    // by a zero byte after outLength bytes, or null: encode only when memory runs out; decode
    // also for a length that is not a multiple of 4, a character outside the alphabet, or an
    // "=" anywhere but in the last two places (a lone "=" only last).
    static char* base64_encode(const unsigned char* data, size_t length, size_t* outLength);
    static unsigned char* base64_decode(const char* text, size_t length, size_t* outLength);
    // 256 entries: the 6-bit value of each alphabet character, 0xFF for every other byte.
    static unsigned char* _build_decoding_table();

    // The reply checks and parsing of each operation, apart from the transport, so that any
    // reply can be driven through them. Same results and outputs as the operations.
    static bool ParsePing(const HTTPResponse& reply);
    static bool ParseQueryBuild(const HTTPResponse& reply, std::string& build,
                                std::string& firmware);
    static bool ParseGetBuild(const HTTPResponse& reply, std::string& out);
    static bool ParseGetBuildList(const HTTPResponse& reply, BuildMap& builds);
    static bool ParseGetRecoveryInfo(const HTTPResponse& reply, uint32_t* serial, uint32_t* build);
    static bool ParseGetDeviceJWT(const HTTPResponse& reply, std::string& token);
};
