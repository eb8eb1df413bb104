// One blocking HTTP or HTTPS GET with a query map, over libcurl's easy interface.
//
// The server's certificate chain and host name are always verified. A private update server's CA
// is trusted through the environment: the first set of
//   UPDATER_CA_BUNDLE, CURL_CA_BUNDLE, SSL_CERT_FILE   (a PEM file of CA certificates)
// replaces the system's bundle, and SSL_CERT_DIR names a hashed certificate folder.
//
// A connection that does not open within the connect time-out, or a transfer that moves fewer than
// 16 bytes a second for the stall time-out, is abandoned with libcurl's error text. Both can be
// set with SetLimits() or, taking precedence, with the environment variables
//   UPDATER_HTTP_CONNECT_TIMEOUT, UPDATER_HTTP_STALL_TIMEOUT   (whole seconds, at least 1).
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>

class HTTPResponse {
public:
    explicit HTTPResponse(std::string request) : request(std::move(request)) {}

    // The complete URL that was fetched, query included.
    const std::string& get_request() const { return request; }
    // The HTTP response code; 0 until the transfer has completed.
    int64_t get_status() const { return status; }
    // The body; it may hold any bytes, so readers that stop at a zero byte see only a prefix.
    const char* get_response() const { return response.c_str(); }
    const std::string& body() const { return response; }

    void set_status(int64_t code) { status = code; }
    void process(const char* bytes, size_t count) { response.append(bytes, count); }

private:
    std::string request;
    int64_t status = 0;
    std::string response;
};

class HTTPRequest {
public:
    using Query = std::map<std::string, std::string>;

    struct Limits {
        long connect_timeout_s = 15;
        long stall_timeout_s = 30;
        // Bodies larger than this are refused; firmware files are a few megabytes at most.
        size_t max_body_bytes = 64u << 20;
    };

    // Fetches url followed by "?" and every "key=value&" in key order (nothing is escaped).
    // An HTTP error status is returned as a response; a transport failure throws
    // std::runtime_error with libcurl's description of it.
    static HTTPResponse GET(const char* url, const Query& query);

    // The URL GET fetches for these arguments.
    static std::string BuildURL(const char* url, const Query& query);

    static void SetLimits(const Limits& limits);
    // The limits in force: those set, overridden by the environment variables above.
    static Limits GetLimits();
};
