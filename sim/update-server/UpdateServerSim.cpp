#include "UpdateServerSim.h"

#include <httplib.h>
#include <openssl/evp.h>
#include <zlib.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <stdexcept>
#include <vector>

namespace fs = std::filesystem;

namespace updatesim {
namespace {

constexpr size_t kMaxInflated = 64u << 20;
constexpr auto kLongestStall = std::chrono::seconds(120);

struct Reply {
    int status = 200;
    std::string body;
    bool payload = false; // the second line is a Base64 payload
};

Reply error(int status, const std::string& text) {
    return {status, "error: " + text + "\n"};
}

std::string trim(const std::string& text) {
    size_t b = text.find_first_not_of(" \t\r\n");
    if (b == std::string::npos) return "";
    size_t e = text.find_last_not_of(" \t\r\n");
    return text.substr(b, e - b + 1);
}

std::string read_file(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return {};
    std::ostringstream all;
    all << in.rdbuf();
    return all.str();
}

std::map<std::string, std::string> read_conf(const fs::path& path) {
    std::map<std::string, std::string> conf;
    std::ifstream in(path);
    for (std::string line; std::getline(in, line);) {
        line = trim(line.substr(0, line.find('#')));
        size_t eq = line.find('=');
        if (eq == std::string::npos) continue;
        conf[trim(line.substr(0, eq))] = trim(line.substr(eq + 1));
    }
    return conf;
}

std::vector<std::vector<std::string>> read_table(const fs::path& path) {
    std::vector<std::vector<std::string>> rows;
    std::ifstream in(path);
    for (std::string line; std::getline(in, line);) {
        std::istringstream words(line.substr(0, line.find('#')));
        std::vector<std::string> row;
        for (std::string w; words >> w;)
            row.push_back(w);
        if (!row.empty()) rows.push_back(std::move(row));
    }
    return rows;
}

bool all_of(const std::string& text, int (*klass)(int)) {
    return !text.empty() && std::all_of(text.begin(), text.end(), [klass](char c) {
        return klass(static_cast<unsigned char>(c)) != 0;
    });
}

bool is_serial(const std::string& text) {
    return text.size() == 8 && std::all_of(text.begin(), text.end(), [](char c) {
               return std::isdigit(static_cast<unsigned char>(c)) || (c >= 'A' && c <= 'F');
           });
}

std::string upper(std::string text) {
    for (char& c : text)
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return text;
}

uint32_t be32(const unsigned char* p) {
    return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3];
}

// The version text of a BIRD file's info block, empty when the file has none.
std::string bird_version(const std::string& file) {
    if (file.size() < 6 || file.compare(0, 4, "bird") != 0) return "";
    z_stream z{};
    if (inflateInit(&z) != Z_OK) return "";
    std::vector<unsigned char> out;
    unsigned char chunk[16384];
    z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(file.data() + 6));
    z.avail_in = static_cast<uInt>(file.size() - 6);
    int rc = Z_OK;
    while (rc == Z_OK && out.size() < kMaxInflated) {
        z.next_out = chunk;
        z.avail_out = sizeof chunk;
        rc = inflate(&z, Z_NO_FLUSH);
        out.insert(out.end(), chunk, chunk + (sizeof chunk - z.avail_out));
        if (rc == Z_BUF_ERROR && z.avail_in == 0) break;
    }
    inflateEnd(&z);
    if (rc != Z_STREAM_END) return "";
    size_t pos = 4;
    while (pos + 5 <= out.size()) {
        uint8_t type = out[pos] & 0x1F;
        uint32_t length = be32(&out[pos + 1]);
        pos += 5;
        if (length > out.size() - pos) break;
        if (type == 4 && length >= 32) {
            std::string version(reinterpret_cast<const char*>(&out[pos + 16]), 15);
            return version.substr(0, version.find(' '));
        }
        pos += length;
    }
    return "";
}

std::string base64(const std::string& bytes) {
    std::string text(4 * ((bytes.size() + 2) / 3) + 1, '\0');
    int n = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(text.data()),
                            reinterpret_cast<const unsigned char*>(bytes.data()),
                            static_cast<int>(bytes.size()));
    text.resize(static_cast<size_t>(n));
    return text;
}

struct Device {
    fs::path folder;
    std::map<std::string, std::string> conf;
    std::map<uint64_t, fs::path> builds; // build number -> file

    std::string version(uint64_t build) const {
        auto over = conf.find("version." + std::to_string(build));
        if (over != conf.end()) return over->second;
        return bird_version(read_file(builds.at(build)));
    }
    std::string firmware() const {
        auto it = conf.find("firmware");
        return it != conf.end() ? it->second : "main";
    }
};

bool load_device(const fs::path& root, const std::string& serial, Device& device) {
    device.folder = root / serial;
    std::error_code ec;
    if (!fs::is_directory(device.folder, ec)) return false;
    device.conf = read_conf(device.folder / "device.conf");
    for (const auto& entry : fs::directory_iterator(device.folder, ec)) {
        const fs::path& p = entry.path();
        std::string stem = p.stem().string();
        if (p.extension() != ".bird" || !all_of(stem, ::isdigit) || stem.size() > 18) continue;
        device.builds[std::stoull(stem)] = p;
    }
    return true;
}

// The keys each op takes, and the checks on their values.
struct Op {
    std::set<std::string> keys;
};
const std::map<std::string, Op>& ops() {
    static const std::map<std::string, Op> table{
        {"hi", {{"op", "rv"}}},
        {"qu", {{"op", "sn"}}},
        {"bird", {{"op", "sn", "fw", "bld", "no_cal"}}},
        {"builds", {{"op", "sn"}}},
        {"fix", {{"op", "fp", "brief"}}},
        {"ent_jwt", {{"op", "sn", "json"}}},
    };
    return table;
}

Reply answer(const fs::path& root, const httplib::Request& req) {
    if (req.get_param_value_count("op") != 1) return error(400, "missing key op");
    const std::string op = req.get_param_value("op");
    auto found = ops().find(op);
    if (found == ops().end()) return error(400, "unknown op " + op);
    for (const auto& [key, value] : req.params) {
        if (!found->second.keys.count(key)) return error(400, "unexpected key " + key);
        if (req.get_param_value_count(key) != 1) return error(400, "repeated key " + key);
    }
    for (const auto& key : found->second.keys)
        if (!req.has_param(key)) return error(400, "missing key " + key);
    auto param = [&](const char* key) { return req.get_param_value(key); };

    if (op == "hi") {
        if (param("rv") != "2") return error(400, "unsupported revision " + param("rv"));
        return {200, "ok\n"};
    }
    if (op == "fix") {
        if (param("brief") != "true") return error(400, "bad brief " + param("brief"));
        std::istringstream words(param("fp"));
        std::vector<std::string> fp;
        for (std::string w; words >> w;)
            fp.push_back(w);
        if (fp.size() != 4 || !std::all_of(fp.begin(), fp.end(), is_serial) ||
            param("fp") != fp[0] + " " + fp[1] + " " + fp[2] + " " + fp[3])
            return error(400, "bad fingerprint");
        for (const auto& row : read_table(root / "recovery.conf")) {
            if (row.size() < 6) continue;
            bool same = true;
            for (int i = 0; i < 4; ++i)
                same = same && upper(row[i]) == fp[i];
            if (same) return {200, "ok\n" + upper(row[4]) + "\n" + row[5] + "\n"};
        }
        return error(200, "unknown fingerprint");
    }

    const std::string serial = param("sn");
    if (!is_serial(serial)) return error(400, "bad serial number " + serial);
    Device device;
    if (!load_device(root, serial, device)) return error(200, "unknown device " + serial);

    if (op == "qu") {
        std::string latest;
        if (auto it = device.conf.find("latest"); it != device.conf.end())
            latest = it->second;
        else if (!device.builds.empty())
            latest = std::to_string(device.builds.rbegin()->first);
        if (latest.empty()) return error(200, "no build for device " + serial);
        return {200, "ok\n" + latest + "\n" + device.firmware() + "\n"};
    }
    if (op == "builds") {
        std::string body = "ok\n";
        for (const auto& [build, path] : device.builds)
            body += std::to_string(build) + ";" + device.version(build) + "\n";
        return {200, body};
    }
    if (op == "ent_jwt") {
        if (param("json") != "false") return error(400, "bad json " + param("json"));
        auto it = device.conf.find("token");
        if (it == device.conf.end()) return error(200, "no token for device " + serial);
        return {200, "ok\n" + it->second + "\n"};
    }
    // bird
    const std::string build = param("bld");
    const std::string noCal = param("no_cal");
    if (noCal != "true" && noCal != "false") return error(400, "bad no_cal " + noCal);
    if (!all_of(build, ::isdigit) || build.size() > 18) return error(400, "bad build " + build);
    if (param("fw") != device.firmware()) return error(200, "unknown firmware " + param("fw"));
    auto file = device.builds.find(std::stoull(build));
    if (file == device.builds.end()) return error(200, "unknown build " + build);
    return {200, "ok\n" + base64(read_file(file->second)) + "\n", true};
}

void apply_fault(const std::string& kind, Reply& reply) {
    if (kind == "http500") {
        reply = {500, "error: injected server fault\n"};
    } else if (kind == "no-ok") {
        reply = {200, "error\n"};
    } else if (kind == "only-ok") {
        reply = {200, "ok\n"};
    } else if ((kind == "truncate" || kind == "corrupt") && reply.payload) {
        size_t start = reply.body.find('\n') + 1;
        size_t end = reply.body.find('\n', start);
        if (kind == "truncate")
            reply.body.erase(end - std::min<size_t>(3, end - start),
                             std::min<size_t>(3, end - start));
        else if (end > start)
            reply.body[start + (end - start) / 2] = '*';
    }
}

} // namespace

UpdateServerSim::UpdateServerSim(Options opts) : options(std::move(opts)) {
    if (!options.cert.empty() || !options.key.empty()) {
        auto tls = std::make_unique<httplib::SSLServer>(options.cert.c_str(), options.key.c_str());
        if (!tls->is_valid())
            throw std::runtime_error("cannot use certificate " + options.cert + " and key " +
                                     options.key);
        server = std::move(tls);
    } else {
        server = std::make_unique<httplib::Server>();
    }
    server->set_keep_alive_timeout(1);
    server->Get("/cgi/u",
                [this](const httplib::Request& req, httplib::Response& res) { handle(req, res); });
}

UpdateServerSim::~UpdateServerSim() {
    stop();
}

int UpdateServerSim::bind() {
    if (options.port == 0) {
        port = server->bind_to_any_port("127.0.0.1");
    } else {
        port = server->bind_to_port("127.0.0.1", options.port) ? options.port : -1;
    }
    if (port <= 0)
        throw std::runtime_error("cannot listen on 127.0.0.1:" + std::to_string(options.port));
    return port;
}

bool UpdateServerSim::run() {
    return server->listen_after_bind();
}

void UpdateServerSim::stop() {
    {
        std::lock_guard<std::mutex> hold(lock);
        stopping = true;
    }
    stopped.notify_all();
    server->stop();
}

std::string UpdateServerSim::url() const {
    return std::string(options.cert.empty() ? "http" : "https") +
           "://127.0.0.1:" + std::to_string(port) + "/cgi/u";
}

void UpdateServerSim::log_request(const std::string& target) {
    if (options.log.empty()) return;
    std::lock_guard<std::mutex> hold(lock);
    std::ofstream out(options.log, std::ios::app);
    out << target << '\n';
}

void UpdateServerSim::handle(const httplib::Request& req, httplib::Response& res) {
    log_request(req.target);
    const fs::path root(options.root);
    Reply reply = answer(root, req);

    std::map<std::string, std::string> faults = options.faults;
    for (const auto& row : read_table(root / "faults.conf"))
        if (row.size() >= 2) faults[row[0]] = row[1];
    std::string fault;
    const std::string op = req.get_param_value("op");
    if (auto it = faults.find(op); it != faults.end())
        fault = it->second;
    else if (auto all = faults.find("*"); all != faults.end())
        fault = all->second;
    apply_fault(fault, reply);

    res.status = reply.status;
    if (fault != "stall") {
        res.set_content(reply.body, "text/plain");
        return;
    }
    auto body = std::make_shared<std::string>(std::move(reply.body));
    res.set_content_provider(body->size(), "text/plain",
                             [this, body](size_t offset, size_t, httplib::DataSink& sink) {
                                 if (offset == 0 && body->size() > 1) {
                                     sink.write(body->data(), body->size() / 2);
                                     return true;
                                 }
                                 std::unique_lock<std::mutex> hold(lock);
                                 stopped.wait_for(hold, kLongestStall, [this] { return stopping; });
                                 return false;
                             });
}

} // namespace updatesim
