#include "sim/module/SimDescription.h"

#include <charconv>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include "aVersion.h"

namespace sim {

namespace {

std::string_view trim(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t' || s.front() == '\r'))
        s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r'))
        s.remove_suffix(1);
    return s;
}

std::vector<std::string_view> split(std::string_view s, char sep) {
    std::vector<std::string_view> parts;
    size_t start = 0;
    for (;;) {
        size_t pos = s.find(sep, start);
        parts.push_back(trim(s.substr(start, pos == std::string_view::npos ? pos : pos - start)));
        if (pos == std::string_view::npos) break;
        start = pos + 1;
    }
    return parts;
}

template <typename T> T narrow(uint64_t v, std::string_view what) {
    if (v > static_cast<uint64_t>(static_cast<T>(~T{0})))
        throw std::invalid_argument(std::string(what) + " out of range");
    return static_cast<T>(v);
}

uint8_t parseAddress(std::string_view text) {
    auto a = narrow<uint8_t>(parseNumber(text), "module address");
    if (a == 0 || (a & 1)) throw std::invalid_argument("module address must be even and not 0");
    return a;
}

bool parseBool(std::string_view v) {
    if (v == "1" || v == "true" || v == "yes" || v == "on") return true;
    if (v == "0" || v == "false" || v == "no" || v == "off") return false;
    throw std::invalid_argument("not a boolean: " + std::string(v));
}

// "store.slot:capacity" items separated by spaces.
std::vector<SlotSpec> parseSlots(std::string_view text) {
    std::vector<SlotSpec> slots;
    for (auto item : split(text, ' ')) {
        if (item.empty()) continue;
        auto colon = item.find(':');
        auto dot = item.find('.');
        if (colon == std::string_view::npos || dot == std::string_view::npos || dot > colon)
            throw std::invalid_argument("slot must read store.slot:capacity");
        SlotSpec s;
        s.store = narrow<uint8_t>(parseNumber(item.substr(0, dot)), "store");
        s.slot = narrow<uint8_t>(parseNumber(item.substr(dot + 1, colon - dot - 1)), "slot");
        s.capacity = narrow<uint16_t>(parseNumber(item.substr(colon + 1)), "slot capacity");
        slots.push_back(s);
    }
    return slots;
}

std::vector<FactoryBlockSpec> parseFactory(std::string_view text) {
    std::vector<FactoryBlockSpec> blocks;
    for (auto item : split(text, ' ')) {
        if (item.empty()) continue;
        auto colon = item.find(':');
        if (colon == std::string_view::npos)
            throw std::invalid_argument("factory block must read block:capacity");
        FactoryBlockSpec b;
        b.block = narrow<uint8_t>(parseNumber(item.substr(0, colon)), "factory block");
        if (b.block > 15) throw std::invalid_argument("factory block must be 0 to 15");
        b.capacity = narrow<uint16_t>(parseNumber(item.substr(colon + 1)), "block capacity");
        blocks.push_back(b);
    }
    return blocks;
}

bool applyIdentity(ModuleIdentity& m, std::string_view key, std::string_view value) {
    if (key == "serial")
        m.serial = narrow<uint32_t>(parseNumber(value), "serial");
    else if (key == "model")
        m.model = narrow<uint8_t>(parseNumber(value), "model");
    else if (key == "version")
        m.version = parseVersion(value);
    else if (key == "build")
        m.build = narrow<uint32_t>(parseNumber(value), "build");
    else if (key == "name")
        m.name = std::string(value);
    else if (key == "address")
        m.address = parseAddress(value);
    else if (key == "router")
        m.router = parseAddress(value);
    else
        return false;
    return true;
}

} // namespace

uint64_t parseNumber(std::string_view text) {
    text = trim(text);
    int base = 10;
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        base = 16;
        text.remove_prefix(2);
    }
    uint64_t v = 0;
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), v, base);
    if (text.empty() || ec != std::errc() || end != text.data() + text.size())
        throw std::invalid_argument("not a number: " + std::string(text));
    return v;
}

uint32_t parseVersion(std::string_view text) {
    text = trim(text);
    auto parts = split(text, '.');
    if (parts.size() == 3) {
        return aVersion_Pack(narrow<uint8_t>(parseNumber(parts[0]), "major"),
                             narrow<uint8_t>(parseNumber(parts[1]), "minor"),
                             narrow<uint8_t>(parseNumber(parts[2]), "patch"));
    }
    return narrow<uint32_t>(parseNumber(text), "version");
}

const char* faultKindName(FaultKind kind) {
    switch (kind) {
    case FaultKind::DropReply:
        return "drop";
    case FaultKind::LateReply:
        return "late";
    case FaultKind::WrongSum:
        return "wrong-sum";
    case FaultKind::WrongCount:
        return "wrong-count";
    case FaultKind::PrepareStatus:
        return "prepare-status";
    case FaultKind::Disconnect:
        return "disconnect";
    case FaultKind::NoReturn:
        return "no-return";
    case FaultKind::Garbage:
        return "garbage";
    case FaultKind::Busy:
        return "busy";
    }
    return "?";
}

Fault parseFault(std::string_view text) {
    auto fields = split(text, ',');
    Fault f;
    static const FaultKind kinds[] = {
        FaultKind::DropReply,  FaultKind::LateReply,     FaultKind::WrongSum,
        FaultKind::WrongCount, FaultKind::PrepareStatus, FaultKind::Disconnect,
        FaultKind::NoReturn,   FaultKind::Garbage,       FaultKind::Busy};
    bool known = false;
    for (auto k : kinds) {
        if (fields[0] == faultKindName(k)) {
            f.kind = k;
            known = true;
        }
    }
    if (!known) throw std::invalid_argument("unknown fault: " + std::string(fields[0]));
    switch (f.kind) {
    case FaultKind::WrongSum:
        f.command = 95, f.sub = 4;
        break;
    case FaultKind::WrongCount:
        f.command = 95, f.sub = 1;
        break;
    case FaultKind::PrepareStatus:
        f.command = 95, f.sub = 3, f.value = 1;
        break;
    case FaultKind::Garbage:
        f.value = 7;
        break;
    case FaultKind::LateReply:
        f.value = 1500;
        break;
    case FaultKind::Disconnect:
        f.value = 500;
        break;
    default:
        break;
    }
    for (size_t i = 1; i < fields.size(); ++i) {
        auto eq = fields[i].find('=');
        if (eq == std::string_view::npos)
            throw std::invalid_argument("fault field must read key=value: " +
                                        std::string(fields[i]));
        auto key = trim(fields[i].substr(0, eq));
        auto value = trim(fields[i].substr(eq + 1));
        if (key == "cmd")
            f.command = narrow<uint8_t>(parseNumber(value), "cmd");
        else if (key == "sub")
            f.sub = narrow<uint8_t>(parseNumber(value), "sub");
        else if (key == "nth")
            f.nth = narrow<uint32_t>(parseNumber(value), "nth");
        else if (key == "value" || key == "ms" || key == "status" || key == "bytes")
            f.value = narrow<uint32_t>(parseNumber(value), "value");
        else
            throw std::invalid_argument("unknown fault field: " + std::string(key));
    }
    return f;
}

void applySetting(Description& d, std::string_view key, std::string_view value, bool behind) {
    key = trim(key);
    value = trim(value);
    if (behind) {
        if (d.behind.empty()) throw std::invalid_argument("no behind module to set");
        if (!applyIdentity(d.behind.back(), key, value))
            throw std::invalid_argument("unknown key for a behind module: " + std::string(key));
        return;
    }
    if (applyIdentity(d.module, key, value)) return;
    if (key == "heartbeat_ms")
        d.heartbeatMs = narrow<uint32_t>(parseNumber(value), key);
    else if (key == "stream_period_ms") {
        d.streamPeriodMs = narrow<uint32_t>(parseNumber(value), key);
        if (d.streamPeriodMs == 0) throw std::invalid_argument("stream_period_ms must not be 0");
    } else if (key == "features")
        d.protocolFeatures = narrow<uint32_t>(parseNumber(value), key);
    else if (key == "uei_data")
        d.ueiData = parseBool(value);
    else if (key == "load_base")
        d.loadBase = narrow<uint32_t>(parseNumber(value), key);
    else if (key == "block_size") {
        d.blockSize = narrow<uint16_t>(parseNumber(value), key);
        if (d.blockSize == 0) throw std::invalid_argument("block_size must not be 0");
    } else if (key == "restart_ms")
        d.restartMs = narrow<uint32_t>(parseNumber(value), key);
    else if (key == "loader_serial")
        d.loaderSerial = narrow<uint32_t>(parseNumber(value), key);
    else if (key == "next_version")
        d.nextVersion = parseVersion(value);
    else if (key == "next_build")
        d.nextBuild = narrow<uint32_t>(parseNumber(value), key);
    else if (key == "serial_address")
        d.serialAddress = narrow<uint32_t>(parseNumber(value), key);
    else if (key == "name_capacity")
        d.nameCapacity = narrow<uint16_t>(parseNumber(value), key);
    else if (key == "slots")
        d.slots = parseSlots(value);
    else if (key == "factory")
        d.factory = parseFactory(value);
    else if (key == "fault")
        d.faults.push_back(parseFault(value));
    else
        throw std::invalid_argument("unknown key: " + std::string(key));
}

Description parseDescription(std::string_view text) {
    Description d;
    bool behind = false;
    int lineNo = 0;
    std::istringstream in{std::string(text)};
    std::string line;
    while (std::getline(in, line)) {
        ++lineNo;
        std::string_view l = trim(line);
        if (l.empty() || l.front() == '#') continue;
        try {
            if (l == "[behind]") {
                ModuleIdentity m;
                m.address = 0; // must be given
                m.name = "Behind module";
                d.behind.push_back(m);
                behind = true;
                continue;
            }
            auto eq = l.find('=');
            if (eq == std::string_view::npos) throw std::invalid_argument("expected key = value");
            applySetting(d, l.substr(0, eq), l.substr(eq + 1), behind);
        } catch (const std::exception& e) {
            throw std::runtime_error("line " + std::to_string(lineNo) + ": " + e.what());
        }
    }
    for (auto& m : d.behind) {
        if (m.address == 0) throw std::runtime_error("a behind module needs an address");
        if (m.address == d.module.address)
            throw std::runtime_error("a behind module cannot share the router's address");
        m.router = d.module.address;
    }
    return d;
}

Description loadDescription(const std::string& path) {
    std::ifstream f(path);
    if (!f) throw std::runtime_error("cannot read description " + path);
    std::stringstream ss;
    ss << f.rdbuf();
    return parseDescription(ss.str());
}

} // namespace sim
