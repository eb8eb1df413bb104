// What one simulated module does with the packets addressed to it: UEI entities (system,
// store, stream, the boot loader's data option), the boot loader's upgrade command, I2C, the
// echo test, module information, store slots and factory data. Everything a request could get
// wrong is checked as a device would: lengths, operation bits, sequence numbers, sums.
#include <algorithm>

#include "aError.h"
#include "sim/module/SimNode.h"

namespace sim {

using namespace wire;

namespace {

const OptionDef kSystemOptions[] = {
    {1, Width::U8, true, false},    {2, Width::U8, true, true},     {3, Width::U8, true, true},
    {4, Width::U8, true, true},     {6, Width::U8, true, true},     {7, Width::U32, true, false},
    {8, Width::U8, true, false},    {9, Width::U32, true, false},   {10, Width::Call, false, true},
    {11, Width::Call, false, true}, {12, Width::U32, true, false},  {13, Width::U8, true, false},
    {14, Width::U8, true, false},   {15, Width::U8, true, true},    {16, Width::U8, true, false},
    {20, Width::U8, false, true},   {21, Width::U32, true, false},  {22, Width::U32, true, false},
    {23, Width::U32, true, false},  {24, Width::Call, false, true}, {25, Width::U32, true, false},
    {26, Width::U32, true, false},  {27, Width::U32, true, false},  {28, Width::U32, true, false},
    {29, Width::U8, true, false},   {30, Width::U8, true, true},    {31, Width::Bytes, true, true},
    {32, Width::Bytes, true, true}, {33, Width::U32, true, false},  {34, Width::U32, true, true},
    {35, Width::U32, true, false},  {37, Width::Call, false, true}, {38, Width::U8, true, true},
    {40, Width::U32, true, false},  {41, Width::U32, true, false},  {42, Width::U8, true, true},
    {43, Width::U32, true, false},  {45, Width::U32, true, false},
};
const OptionDef kStoreOptions[] = {
    {0, Width::U32, false, true}, {1, Width::U32, false, true}, {2, Width::U32, false, true}};
const OptionDef kStreamOptions[] = {{1, Width::U32, true, true}, {2, Width::U32, false, true}};
const OptionDef kUpgradeOptions[] = {{kUpDataUEI, Width::Bytes, false, true}};

struct EntityDef {
    uint8_t cls;
    const OptionDef* options;
    size_t count;
};
const EntityDef kEntities[] = {
    {kClassSystem, kSystemOptions, std::size(kSystemOptions)},
    {kClassStore, kStoreOptions, std::size(kStoreOptions)},
    {kClassStream, kStreamOptions, std::size(kStreamOptions)},
    {kCmdUpgrade, kUpgradeOptions, std::size(kUpgradeOptions)},
};

const EntityDef* findEntity(uint8_t cls) {
    for (auto& e : kEntities)
        if (e.cls == cls) return &e;
    return nullptr;
}

const OptionDef* findOption(const EntityDef& e, uint8_t option) {
    for (size_t i = 0; i < e.count; ++i)
        if (e.options[i].option == option) return &e.options[i];
    return nullptr;
}

size_t valueSize(Width w) {
    switch (w) {
    case Width::U8:
        return 1;
    case Width::U16:
        return 2;
    case Width::U32:
        return 4;
    default:
        return 0;
    }
}

// Loader blocks are held whole until load starts them; bound what a host can make us hold.
constexpr size_t kMaxLoaderBlock = 4u << 20;
constexpr uint8_t kI2CNoAck = 0x80 | aErrConnection;

} // namespace

// ---- dispatch ------------------------------------------------------------------------------

void ModuleCore::handleModulePacket(Node& n, const uint8_t* d, size_t size, Clock::time_point now) {
    if (size == 0) return;
    switch (d[0]) {
    case kCmdSlot:
        handleSlot(n, d, size, now);
        return;
    case kCmdI2C:
        handleI2C(n, d, size, now);
        return;
    case kCmdEcho:
        emit(n, Bytes(d, d + size), now);
        return;
    case kCmdInfo:
        handleInfo(n, d, size, now);
        return;
    case kCmdFactory:
        handleFactory(n, d, size, now);
        return;
    case kCmdUpgrade:
        // The boot loader's raw sub-commands are 0 to 7; a byte with operation bits is the
        // UEI option that carries whole chunks.
        if (size >= 2 && (d[1] & kOpMask))
            handleUEI(n, d, size, now);
        else
            handleUpgrade(n, d, size, now);
        return;
    case 0:
    case 1:
    case 2:
    case 9:
    case 24:
    case 173:
    case 175:
        return; // link-level commands that carry nothing for a module
    default:
        handleUEI(n, d, size, now);
        return;
    }
}

// ---- UEI -----------------------------------------------------------------------------------

void ModuleCore::ueiError(Node& n, uint8_t cmd, uint8_t replyOption, uint8_t index, uint32_t code,
                          Clock::time_point now) {
    emit(n, Bytes{cmd, replyOption, uint8_t(index | kError), uint8_t(code)}, now);
}

void ModuleCore::sendBytes(Node& n, uint8_t cmd, uint8_t option, uint8_t index, const Bytes& bytes,
                           Clock::time_point now) {
    size_t offset = 0;
    uint8_t seq = 0;
    do {
        size_t chunk = std::min<size_t>(kBytesChunk, bytes.size() - offset);
        bool more = offset + chunk < bytes.size();
        Bytes d{cmd, option, index};
        d.insert(d.end(), bytes.begin() + offset, bytes.begin() + offset + chunk);
        d.push_back(uint8_t((more ? kContinue : 0) | (seq & 0x7F)));
        emit(n, std::move(d), now);
        offset += chunk;
        ++seq;
    } while (offset < bytes.size());
}

uint32_t ModuleCore::ueiSupport(const Node&, uint8_t cmd, uint8_t option, uint8_t index,
                                uint8_t flags) const {
    const EntityDef* e = findEntity(cmd);
    if (!e || index != 0) return aErrInvalidEntity;
    const OptionDef* o = findOption(*e, option);
    if (!o) return aErrInvalidOption;
    if (cmd == kCmdUpgrade && option == kUpDataUEI && !desc_.ueiData) return aErrInvalidOption;
    if ((flags & kGet) && !o->get) return aErrUnimplemented;
    if ((flags & kSet) && !o->set) return aErrUnimplemented;
    return aErrNone;
}

void ModuleCore::handleUEI(Node& n, const uint8_t* d, size_t size, Clock::time_point now) {
    if (size < 3) return; // no specifier: nothing to answer to
    uint8_t cmd = d[0], op = d[1] & kOpMask, option = d[1] & kOptionMask;
    uint8_t spec = d[2], index = spec & kIndexMask;
    if (op != kGet && op != kSet) return; // replies and acknowledgements are not requests
    uint8_t replyOption = op == kGet ? option : uint8_t(option | kAck);
    if (!(spec & kRequest) || (spec & (kStream | kError))) {
        ueiError(n, cmd, replyOption, index, aErrPacket, now);
        return;
    }
    const EntityDef* e = findEntity(cmd);
    if (!e || index != 0) {
        // A byte run to an unknown entity is answered once, at its first packet.
        ueiError(n, cmd, replyOption, index, aErrInvalidEntity, now);
        return;
    }
    const OptionDef* o = findOption(*e, option);
    if (!o || (cmd == kCmdUpgrade && !desc_.ueiData)) {
        bool laterPacketOfRun = op == kSet && size >= 4 && (d[size - 1] & 0x7F) != 0;
        if (!laterPacketOfRun) ueiError(n, cmd, replyOption, index, aErrInvalidOption, now);
        return;
    }
    if ((op == kGet && !o->get) || (op == kSet && !o->set)) {
        ueiError(n, cmd, replyOption, index, aErrUnimplemented, now);
        return;
    }

    if (o->width == Width::Bytes && op == kSet) {
        handleBytesSet(n, d, size, now);
        return;
    }

    if (op == kGet) {
        if (size != 3) {
            ueiError(n, cmd, replyOption, index, aErrSize, now);
            return;
        }
        Bytes r{cmd, option, index};
        if (o->width == Width::Bytes) {
            sendBytes(n, cmd, option, index, option == 32 ? n.name : n.powerConfig, now);
            return;
        }
        uint32_t v = 0;
        if (cmd == kClassStream) {
            v = n.subscriptions.empty() ? 0 : 1;
        } else {
            const ModuleIdentity& id = n.state.identity;
            switch (option) {
            case 1:
                v = id.address;
                break;
            case 2:
                v = id.router;
                break;
            case 7:
                v = id.version;
                break;
            case 8:
                v = id.model;
                break;
            case 9:
                v = id.serial;
                break;
            case 22:
                v = uint32_t(
                    std::chrono::duration_cast<std::chrono::seconds>(now - n.booted).count());
                break;
            case 43:
                v = id.build;
                break;
            case 45:
                v = desc_.protocolFeatures;
                break;
            default:
                v = n.values[option];
                break;
            }
        }
        switch (cmd == kClassStream ? Width::U8 : o->width) {
        case Width::U8:
            r.push_back(uint8_t(v));
            break;
        case Width::U16:
            putBe16(r, uint16_t(v));
            break;
        default:
            putBe32(r, v);
            break;
        }
        emit(n, std::move(r), now);
        return;
    }

    // Set or call: exactly the option's width, no subindex.
    if (size != 3 + valueSize(o->width)) {
        ueiError(n, cmd, replyOption, index, aErrSize, now);
        return;
    }
    uint32_t v = 0;
    for (size_t i = 3; i < size; ++i)
        v = v << 8 | d[i];
    Bytes ack{cmd, replyOption, index};

    if (cmd == kClassStream) {
        // The value is the key's lower half: module, command, option, index.
        uint8_t km = uint8_t(v >> 24), kc = uint8_t(v >> 16), ko = uint8_t(v >> 8), ki = uint8_t(v);
        if (km != n.state.identity.address) {
            ueiError(n, cmd, replyOption, index, aErrParam, now);
            return;
        }
        if (kc != 255 && !findEntity(kc)) {
            ueiError(n, cmd, replyOption, index, aErrInvalidEntity, now);
            return;
        }
        if (option == 1)
            n.subscriptions.insert({kc, ko, ki});
        else
            n.subscriptions.erase({kc, ko, ki});
        emit(n, std::move(ack), now);
        if (option == 1 && nextSample_ == Clock::time_point::max())
            nextSample_ = now + std::chrono::milliseconds(desc_.streamPeriodMs);
        return;
    }
    if (cmd == kClassStore) {
        uint8_t cls = uint8_t(v >> 8), idx = uint8_t(v);
        if ((v >> 16) != 0 || !findEntity(cls) || idx != 0) {
            ueiError(n, cmd, replyOption, index, aErrInvalidEntity, now);
            return;
        }
        if (cls == kClassSystem) {
            if (option == 0)
                n.saved = n.values;
            else if (option == 1)
                n.values = n.defaults;
            else
                n.values = n.saved;
        }
        emit(n, std::move(ack), now);
        return;
    }

    // System entity.
    switch (option) {
    case 2:
        if (v == 0 || (v & 1)) {
            ueiError(n, cmd, replyOption, index, aErrParam, now);
            return;
        }
        n.state.identity.router = uint8_t(v);
        break;
    case 3:
        n.values[3] = v;
        if (&n == nodes_[0].get()) {
            nextHeartbeat_ =
                v ? now + std::chrono::milliseconds(100 * v) : Clock::time_point::max();
        }
        break;
    case 10:
        n.saved = n.values;
        break;
    case 11:
        emit(n, std::move(ack), now);
        n.values = n.saved;
        restart(n, now, std::chrono::milliseconds(desc_.restartMs));
        return;
    case 20:
        if (v > 1) {
            ueiError(n, cmd, replyOption, index, aErrParam, now);
            return;
        }
        n.state.routeToMe = v == 1;
        break;
    case 24:
        break;
    case 37:
        n.values = n.defaults;
        n.name = n.defaultName;
        n.powerConfig.clear();
        break;
    default:
        n.values[option] = v;
        break;
    }
    emit(n, std::move(ack), now);
}

// A byte buffer arrives as a run of packets: command, option, specifier, up to 24 bytes, and
// a sequence byte counting from 0 with the continue bit on all but the last.
void ModuleCore::handleBytesSet(Node& n, const uint8_t* d, size_t size, Clock::time_point now) {
    uint8_t cmd = d[0], option = d[1] & kOptionMask, index = d[2] & kIndexMask;
    uint8_t ackOption = uint8_t(option | kAck);
    if (size < 4) {
        ueiError(n, cmd, ackOption, index, aErrSize, now);
        return;
    }
    uint8_t seqByte = d[size - 1];
    uint8_t seq = seqByte & 0x7F;
    bool more = seqByte & kContinue;
    bool sameKey = n.run && n.run->cmd == cmd && n.run->option == option && n.run->index == index;
    if (seq == 0) {
        n.run = BytesRun{cmd, option, index, {}, 0, false};
    } else if (!sameKey || seq != (n.run->nextSequence & 0x7F)) {
        if (!sameKey || !n.run->failed) {
            ueiError(n, cmd, ackOption, index, aErrPacket, now);
            n.run = BytesRun{cmd, option, index, {}, 0, true};
        }
        if (!more) n.run.reset();
        return;
    }
    BytesRun& r = *n.run;
    if (r.failed) {
        if (!more) n.run.reset();
        return;
    }
    r.data.insert(r.data.end(), d + 3, d + size - 1);
    r.nextSequence++;
    size_t limit = cmd == kCmdUpgrade ? kMaxLoaderBlock
                   : option == 32     ? desc_.nameCapacity
                                      : size_t(64);
    if (r.data.size() > limit) {
        ueiError(n, cmd, ackOption, index, aErrSize, now);
        r.failed = true;
        if (!more) n.run.reset();
        return;
    }
    if (!more) finishBytesSet(n, now);
}

void ModuleCore::finishBytesSet(Node& n, Clock::time_point now) {
    BytesRun r = std::move(*n.run);
    n.run.reset();
    uint8_t ackOption = uint8_t(r.option | kAck);
    if (r.cmd == kCmdUpgrade) {
        size_t room = n.state.mode == UpgradeMode::Loader ? desc_.blockSize : kMaxLoaderBlock;
        if (!n.blockActive || n.state.mode == UpgradeMode::Firmware) {
            ueiError(n, r.cmd, ackOption, r.index, aErrMode, now);
            return;
        }
        if (n.pending.size() + r.data.size() > room) {
            ueiError(n, r.cmd, ackOption, r.index, aErrOverrun, now);
            return;
        }
        n.pending.insert(n.pending.end(), r.data.begin(), r.data.end());
        for (uint8_t b : r.data)
            n.sum += b;
    } else if (r.option == 31) {
        if (r.data.size() % 4) {
            ueiError(n, r.cmd, ackOption, r.index, aErrSize, now);
            return;
        }
        n.powerConfig = std::move(r.data);
    } else {
        n.name = std::move(r.data);
    }
    emit(n, Bytes{r.cmd, ackOption, r.index}, now);
}

// ---- boot loader ---------------------------------------------------------------------------

void ModuleCore::handleUpgrade(Node& n, const uint8_t* d, size_t size, Clock::time_point now) {
    if (size < 2) return;
    UpgradeMode& mode = n.state.mode;
    auto status = [&](uint8_t code) { emit(n, Bytes{kCmdUpgrade, kUpStatus, code}, now); };
    // Loader blocks are held until the next prepare or the load; firmware chunks are written
    // explicitly.
    auto commitLoaderBlock = [&] {
        if (mode == UpgradeMode::Session && n.blockActive && !n.pending.empty()) {
            n.state.flash.write(n.blockAddress + n.committed, n.pending.data(), n.pending.size());
            n.committed += uint32_t(n.pending.size());
            n.pending.clear();
        }
    };
    switch (d[1]) {
    case kUpInit: {
        if (size != 2) return;
        if (mode == UpgradeMode::Firmware) mode = UpgradeMode::Session;
        n.blockActive = false;
        n.pending.clear();
        n.sum = 0;
        Bytes r{kCmdUpgrade, kUpInit};
        putBe32(r, desc_.loadBase);
        emit(n, std::move(r), now);
        return;
    }
    case kUpPrepare: {
        Bytes r{kCmdUpgrade, kUpStatus};
        uint8_t code = aErrNone;
        if (size != 7)
            code = aErrSize;
        else if (mode == UpgradeMode::Firmware)
            code = aErrMode;
        else if (d[2] > 7)
            code = aErrParam;
        if (const Fault* f = hit(FaultKind::PrepareStatus, d, size); f && !code)
            code = uint8_t(f->value ? f->value : 1);
        r.push_back(code);
        putBe16(r, code ? 0 : desc_.blockSize);
        if (!code) {
            commitLoaderBlock();
            n.blockActive = true;
            n.blockFlags = d[2];
            n.blockAddress = be32(d + 3);
            n.committed = 0;
            n.pending.clear();
            n.sum = 0;
        }
        emit(n, std::move(r), now);
        return;
    }
    case kUpData: {
        if (size < 3) return;
        size_t count = size - 2;
        size_t room = mode == UpgradeMode::Loader ? desc_.blockSize : kMaxLoaderBlock;
        uint64_t end = uint64_t(n.blockAddress) + n.committed + n.pending.size() + count;
        bool fits = n.blockActive && mode != UpgradeMode::Firmware &&
                    n.pending.size() + count <= room && end <= (uint64_t(1) << 32);
        Bytes r{kCmdUpgrade, kUpData};
        if (fits && hit(FaultKind::WrongCount, d, size)) {
            r.push_back(uint8_t(count - 1));
        } else if (fits) {
            n.pending.insert(n.pending.end(), d + 2, d + size);
            for (size_t i = 2; i < size; ++i)
                n.sum += d[i];
            r.push_back(uint8_t(count));
        } else {
            r.push_back(0); // nothing taken
        }
        emit(n, std::move(r), now);
        return;
    }
    case kUpSum: {
        if (size != 2) return;
        Bytes r{kCmdUpgrade, kUpStatus};
        bool ok = n.blockActive && mode != UpgradeMode::Firmware;
        uint32_t sum = ok ? n.sum : 0;
        if (ok && hit(FaultKind::WrongSum, d, size)) sum += 1;
        r.push_back(ok ? aErrNone : aErrMode);
        putBe32(r, sum);
        emit(n, std::move(r), now);
        return;
    }
    case kUpWrite: {
        if (size != 4) {
            status(aErrSize);
            return;
        }
        size_t count = size_t(d[2]) << 8 | d[3];
        if (!n.blockActive || mode == UpgradeMode::Firmware) {
            status(aErrMode);
            return;
        }
        if (count != n.pending.size()) {
            // The chunk is not what the host thinks it sent: refuse it whole.
            n.pending.clear();
            n.sum = 0;
            status(aErrSize);
            return;
        }
        n.state.flash.write(n.blockAddress + n.committed, n.pending.data(), n.pending.size());
        n.committed += uint32_t(count);
        n.pending.clear();
        n.sum = 0;
        ++n.state.committedWrites;
        if (mode == UpgradeMode::Loader) n.newFirmware = true;
        status(aErrNone);
        return;
    }
    case kUpLoad: {
        if (size != 2 || mode == UpgradeMode::Firmware) return; // no session to start from
        commitLoaderBlock();
        emit(n, Bytes{kCmdUpgrade, kUpLoad}, now);
        bool never = hit(FaultKind::NoReturn, d, size) != nullptr;
        mode = UpgradeMode::Loader;
        n.newFirmware = false;
        if (desc_.loaderSerial) n.state.identity.serial = desc_.loaderSerial;
        restart(n, now,
                never ? std::nullopt
                      : std::optional<Clock::duration>(std::chrono::milliseconds(desc_.restartMs)));
        return;
    }
    case kUpReboot: {
        if (size != 2) return;
        bool never = hit(FaultKind::NoReturn, d, size) != nullptr;
        ModuleIdentity& id = n.state.identity;
        id.serial = n.ownSerial;
        if (mode == UpgradeMode::Loader && n.newFirmware) {
            uint32_t version = id.version, build = id.build;
            if (desc_.nextVersion) version = *desc_.nextVersion;
            if (desc_.nextBuild) build = *desc_.nextBuild;
            if (nextFirmware_) std::tie(version, build) = *nextFirmware_;
            id.version = version;
            id.build = build;
            uint8_t s[4];
            if (desc_.serialAddress && n.state.flash.read(desc_.serialAddress, s, 4)) {
                // The serial number patched into the image, little-endian.
                id.serial = uint32_t(s[0]) | uint32_t(s[1]) << 8 | uint32_t(s[2]) << 16 |
                            uint32_t(s[3]) << 24;
                n.ownSerial = id.serial;
            }
        }
        mode = UpgradeMode::Firmware;
        n.newFirmware = false;
        restart(n, now,
                never ? std::nullopt
                      : std::optional<Clock::duration>(std::chrono::milliseconds(desc_.restartMs)));
        return;
    }
    default:
        return; // status replies and unknown sub-commands are not requests
    }
}

// ---- I2C -----------------------------------------------------------------------------------

void ModuleCore::handleI2C(Node& n, const uint8_t* d, size_t size, Clock::time_point now) {
    if (size < 4) return;
    uint8_t bus = d[1], addr = d[2];
    auto acked = [&](uint8_t a) {
        if (&n != nodes_[0].get()) return false; // only the router has modules behind it
        for (size_t i = 1; i < nodes_.size(); ++i)
            if (nodes_[i]->state.identity.address == (a & 0xFE) && nodes_[i]->state.online)
                return true;
        return false;
    };
    if (size == 4 && addr == 1) { // pull-up
        uint8_t st = bus != 0   ? uint8_t(0x80 | aErrInvalidEntity)
                     : d[3] > 1 ? uint8_t(0x80 | aErrParam)
                                : uint8_t(0);
        emit(n, Bytes{kCmdI2C, bus, 1, d[3], st}, now);
        return;
    }
    if (addr & 1) { // read
        Bytes r{kCmdI2C, bus, addr};
        uint8_t len = size == 5 ? d[3] : 0;
        uint8_t st = 0;
        if (bus != 0)
            st = 0x80 | aErrInvalidEntity;
        else if (size != 5 || len > 23)
            st = 0x80 | aErrSize;
        else if (d[4] > 3)
            st = 0x80 | aErrParam;
        else if (!acked(addr))
            st = kI2CNoAck;
        Bytes data;
        if (!st) {
            data = n.i2cData[addr & 0xFE];
            data.resize(len, 0);
        }
        r.push_back(uint8_t(data.size()));
        r.push_back(st);
        r.insert(r.end(), data.begin(), data.end());
        emit(n, std::move(r), now);
        return;
    }
    // write
    uint8_t st = 0;
    if (bus != 0)
        st = 0x80 | aErrInvalidEntity;
    else if (size < 5 || d[3] > 23 || size != size_t(5) + d[3])
        st = 0x80 | aErrSize;
    else if (d[4] > 3)
        st = 0x80 | aErrParam;
    else if (!acked(addr))
        st = kI2CNoAck;
    if (!st) n.i2cData[addr] = Bytes(d + 5, d + size);
    emit(n, Bytes{kCmdI2C, bus, addr, 0, st}, now);
}

// ---- module information --------------------------------------------------------------------

void ModuleCore::handleInfo(Node& n, const uint8_t* d, size_t size, Clock::time_point now) {
    if (size < 2) return;
    Bytes r(d, d + size);
    switch (d[1]) {
    case 0xFF:
        if (size != 2) return;
        putBe32(r, n.state.identity.build);
        break;
    case 1: {
        if (size != 6) return;
        uint8_t flags = d[5];
        uint32_t answer = (flags & 0x3F) || (flags & kOpMask) == kOpMask
                              ? uint32_t(aErrParam)
                              : ueiSupport(n, d[2], d[3], d[4], flags);
        r.push_back(uint8_t(answer));
        r.erase(r.begin() + 5); // the flags byte is replaced by the answer
        break;
    }
    case 4: {
        if (size != 3) return;
        uint8_t count = findEntity(d[2]) ? 1 : 0;
        if (d[2] == kCmdI2C) count = 1;
        r.push_back(count);
        break;
    }
    case 5:
    case 6:
        if (size != 4) return;
        r.push_back(0); // no sub-entities; every entity is in group 0
        break;
    default:
        return;
    }
    emit(n, std::move(r), now);
}

// ---- store slots ---------------------------------------------------------------------------

void ModuleCore::handleSlot(Node& n, const uint8_t* d, size_t size, Clock::time_point now) {
    if (size < 3) return;
    uint8_t sub = d[1];
    auto slotError = [&](uint32_t code) {
        // Sub-commands 1 to 4 carry store and slot, and their code in byte 4.
        emit(n, Bytes{kCmdSlot, uint8_t(sub | 0x80), d[2], d[3], uint8_t(code)}, now);
    };
    auto handleError = [&](uint32_t code) {
        emit(n, Bytes{kCmdSlot, uint8_t(sub | 0x80), d[2], uint8_t(code)}, now);
    };
    switch (sub) {
    case 1:
    case 2:
    case 3:
    case 4: {
        if (size != 4) {
            if (size >= 4) slotError(aErrSize);
            return;
        }
        auto it = n.slots.find({d[2], d[3]});
        if (it == n.slots.end()) {
            slotError(aErrIndexRange);
            return;
        }
        SlotSpec& s = it->second;
        Bytes r(d, d + 4);
        if (sub == 1)
            putBe16(r, s.capacity);
        else if (sub == 2)
            putBe16(r, uint16_t(s.content.size()));
        else {
            for (auto& [h, o] : n.openSlots) {
                if (o.store == d[2] && o.slot == d[3]) {
                    slotError(aErrBusy);
                    return;
                }
            }
            if (n.openSlots.size() >= 4) {
                slotError(aErrResource);
                return;
            }
            uint8_t h = n.nextHandle;
            n.nextHandle = uint8_t(n.nextHandle % 254 + 1); // 1..254; 255 means none
            n.openSlots[h] = OpenSlot{d[2], d[3], sub == 4, 0};
            if (sub == 4) s.content.clear();
            r.push_back(h);
        }
        emit(n, std::move(r), now);
        return;
    }
    case 6:
    case 7:
    case 8: {
        auto it = n.openSlots.find(d[2]);
        if (it == n.openSlots.end()) {
            handleError(aErrNotFound);
            return;
        }
        OpenSlot& o = it->second;
        SlotSpec& s = n.slots[{o.store, o.slot}];
        if (sub == 6) {
            if (size != 3 || o.writing) {
                handleError(size != 3 ? aErrSize : aErrMode);
                return;
            }
            size_t piece = std::min<size_t>(25, s.content.size() - o.position);
            Bytes r(d, d + 3);
            r.insert(r.end(), s.content.begin() + o.position,
                     s.content.begin() + o.position + piece);
            o.position += piece;
            emit(n, std::move(r), now);
        } else if (sub == 7) {
            if (size < 4 || !o.writing) {
                handleError(size < 4 ? aErrSize : aErrMode);
                return;
            }
            if (s.content.size() + (size - 3) > s.capacity) {
                handleError(aErrOverrun);
                return;
            }
            uint8_t sum = 0;
            for (size_t i = 3; i < size; ++i)
                sum = uint8_t(sum + d[i]);
            s.content.insert(s.content.end(), d + 3, d + size);
            emit(n, Bytes{kCmdSlot, 7, d[2], sum}, now);
        } else {
            if (size != 3) {
                handleError(aErrSize);
                return;
            }
            n.openSlots.erase(it);
            emit(n, Bytes{kCmdSlot, 8, d[2], 0}, now);
        }
        return;
    }
    default:
        if (size >= 3) handleError(aErrInvalidOption);
        return;
    }
}

// ---- factory data --------------------------------------------------------------------------

void ModuleCore::handleFactory(Node& n, const uint8_t* d, size_t size, Clock::time_point now) {
    if (size < 2) return;
    uint8_t block = d[1] & 0x0F, flags = d[1] & 0xF0;
    auto error = [&](uint8_t b, uint32_t code) {
        emit(n, Bytes{kCmdFactory, uint8_t(b | 0x80), uint8_t(code)}, now);
    };
    if (flags == 0x20) { // end of a transfer, with the count
        if (size != 4 || block != 0) {
            error(0, aErrSize);
            return;
        }
        size_t count = size_t(d[2]) << 8 | d[3];
        if (!n.factoryTransfer) {
            error(0, aErrNotReady);
            return;
        }
        FactoryTransfer t = std::move(*n.factoryTransfer);
        n.factoryTransfer.reset();
        if (count != t.transferred) {
            error(0, aErrSize);
            return;
        }
        if (t.writing) n.factory[t.block].content = std::move(t.staged);
        emit(n, Bytes{kCmdFactory, 0}, now);
        return;
    }
    auto it = n.factory.find(block);
    if (it == n.factory.end()) {
        error(block, aErrIndexRange);
        return;
    }
    FactoryBlockSpec& fb = it->second;
    if (flags == 0x40 || flags == 0x00) { // read
        if (size != 2) {
            error(block, aErrSize);
            return;
        }
        if (flags == 0x40) n.factoryTransfer = FactoryTransfer{block, false, {}, 0, 0};
        if (!n.factoryTransfer || n.factoryTransfer->writing || n.factoryTransfer->block != block) {
            error(block, aErrNotReady);
            return;
        }
        FactoryTransfer& t = *n.factoryTransfer;
        size_t piece = std::min<size_t>(26, fb.content.size() - t.position);
        Bytes r{kCmdFactory, block};
        r.insert(r.end(), fb.content.begin() + t.position, fb.content.begin() + t.position + piece);
        t.position += piece;
        t.transferred += piece;
        emit(n, std::move(r), now);
        return;
    }
    if (flags == 0x50 || flags == 0x10) { // write
        if (size < 3) {
            error(block, aErrSize);
            return;
        }
        if (flags == 0x50) n.factoryTransfer = FactoryTransfer{block, true, {}, 0, 0};
        if (!n.factoryTransfer || !n.factoryTransfer->writing ||
            n.factoryTransfer->block != block) {
            error(block, aErrNotReady);
            return;
        }
        FactoryTransfer& t = *n.factoryTransfer;
        if (t.staged.size() + (size - 2) > fb.capacity) {
            n.factoryTransfer.reset();
            error(block, aErrOverrun);
            return;
        }
        t.staged.insert(t.staged.end(), d + 2, d + size);
        t.transferred += size - 2;
        emit(n, Bytes{kCmdFactory, block}, now);
        return;
    }
    error(block, aErrParam);
}

} // namespace sim
