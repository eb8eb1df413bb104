#include "server/HTTPRequest.h"

#include "app/Log.h"

#include <curl/curl.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <stdexcept>

namespace {

// A transfer slower than this many bytes a second, for the stall time-out, is abandoned.
constexpr long kLowSpeedBytesPerSecond = 16;

std::mutex limitsLock;
HTTPRequest::Limits limits;

struct Transfer {
    HTTPResponse* response;
    size_t maxBody;
};

// libcurl's global state must exist before any handle, once per process.
void _global_init() {
    static std::once_flag once;
    std::call_once(once, [] {
        curl_global_init(CURL_GLOBAL_DEFAULT);
        std::atexit([] { curl_global_cleanup(); });
    });
}

long _env_seconds(const char* name, long fallback) {
    const char* text = std::getenv(name);
    if (text == nullptr || *text == '\0') return fallback;
    errno = 0;
    char* end = nullptr;
    long value = std::strtol(text, &end, 10);
    if (errno != 0 || *end != '\0' || value < 1 || value > 24 * 3600) return fallback;
    return value;
}

const char* _env_nonempty(const char* name) {
    const char* text = std::getenv(name);
    return text != nullptr && *text != '\0' ? text : nullptr;
}

size_t _rcv_data(char* bytes, size_t size, size_t count, void* data) {
    auto* transfer = static_cast<Transfer*>(data);
    HTTPResponse* response = transfer->response;
    size_t n = size * count;
    if ((Log::package_bitmask & DEBUG_ServerComm) != 0) {
        // The chunk is not terminated: log a terminated copy of its first 100 bytes.
        char head[101];
        size_t shown = std::min<size_t>(n, 100);
        std::memcpy(head, bytes, shown);
        head[shown] = '\0';
        Log::log(DEBUG_ServerComm, "rcv_data called (..., %d, %d, %08X) [%100.100s]\n",
                 static_cast<int>(size), static_cast<int>(count),
                 static_cast<unsigned>(reinterpret_cast<uintptr_t>(response)), head);
    }
    if (response->body().size() + n > transfer->maxBody) {
        Log::log(DEBUG_ServerComm, "rcv_data refuses a body over %zu bytes\n", transfer->maxBody);
        return 0; // libcurl ends the transfer with a write error
    }
    response->process(bytes, n);
    Log::log(DEBUG_ServerComm, "rcv_data returns %d\n", static_cast<int>(n));
    return n;
}

struct EasyDeleter {
    void operator()(CURL* handle) const { curl_easy_cleanup(handle); }
};

} // namespace

std::string HTTPRequest::BuildURL(const char* url, const Query& query) {
    std::string full = url != nullptr ? url : "";
    if (!query.empty()) full += '?';
    for (const auto& [key, value] : query) {
        full += key;
        full += '=';
        full += value;
        full += '&';
    }
    return full;
}

void HTTPRequest::SetLimits(const Limits& newLimits) {
    std::lock_guard<std::mutex> hold(limitsLock);
    limits = newLimits;
}

HTTPRequest::Limits HTTPRequest::GetLimits() {
    Limits current;
    {
        std::lock_guard<std::mutex> hold(limitsLock);
        current = limits;
    }
    current.connect_timeout_s =
        _env_seconds("UPDATER_HTTP_CONNECT_TIMEOUT", current.connect_timeout_s);
    current.stall_timeout_s = _env_seconds("UPDATER_HTTP_STALL_TIMEOUT", current.stall_timeout_s);
    return current;
}

HTTPResponse HTTPRequest::GET(const char* url, const Query& query) {
    _global_init();
    std::unique_ptr<CURL, EasyDeleter> curl(curl_easy_init());
    HTTPResponse response(BuildURL(url, query));
    if (!curl) throw std::runtime_error("Could not create curl instance");

    const Limits use = GetLimits();
    Transfer transfer{&response, use.max_body_bytes};
    const char* caFile = _env_nonempty("UPDATER_CA_BUNDLE");
    if (caFile == nullptr) caFile = _env_nonempty("CURL_CA_BUNDLE");
    if (caFile == nullptr) caFile = _env_nonempty("SSL_CERT_FILE");
    const char* caDir = _env_nonempty("SSL_CERT_DIR");

    CURL* h = curl.get();
    CURLcode rc = curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, _rcv_data);
    if (rc == CURLE_OK) rc = curl_easy_setopt(h, CURLOPT_WRITEDATA, &transfer);
    if (rc == CURLE_OK) rc = curl_easy_setopt(h, CURLOPT_URL, response.get_request().c_str());
    // Firmware from this server is written into devices: the chain and the name must check out.
    if (rc == CURLE_OK) rc = curl_easy_setopt(h, CURLOPT_SSL_VERIFYHOST, 2L);
    if (rc == CURLE_OK) rc = curl_easy_setopt(h, CURLOPT_SSL_VERIFYPEER, 1L);
    if (rc == CURLE_OK) rc = curl_easy_setopt(h, CURLOPT_SSL_VERIFYSTATUS, 0L);
    if (rc == CURLE_OK && caFile != nullptr) rc = curl_easy_setopt(h, CURLOPT_CAINFO, caFile);
    if (rc == CURLE_OK && caDir != nullptr) rc = curl_easy_setopt(h, CURLOPT_CAPATH, caDir);
    // Requests run on worker threads: no signals for time-outs.
    if (rc == CURLE_OK) rc = curl_easy_setopt(h, CURLOPT_NOSIGNAL, 1L);
    if (rc == CURLE_OK) rc = curl_easy_setopt(h, CURLOPT_CONNECTTIMEOUT, use.connect_timeout_s);
    if (rc == CURLE_OK) rc = curl_easy_setopt(h, CURLOPT_LOW_SPEED_LIMIT, kLowSpeedBytesPerSecond);
    if (rc == CURLE_OK) rc = curl_easy_setopt(h, CURLOPT_LOW_SPEED_TIME, use.stall_timeout_s);

    long status = 0;
    if (rc == CURLE_OK) {
        Log::log(DEBUG_ServerComm, "GET(%s)\n", response.get_request().c_str());
        rc = curl_easy_perform(h);
    }
    if (rc == CURLE_OK) rc = curl_easy_getinfo(h, CURLINFO_RESPONSE_CODE, &status);
    if (rc != CURLE_OK) throw std::runtime_error(curl_easy_strerror(rc));

    response.set_status(status);
    return response;
}
