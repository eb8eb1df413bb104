// Request/reply round trips through the link engine over an emulated USB device, beside the
// same exchange over loopback TCP in the same run. Emulation costs dominate the USB figure: it
// guards against regressions, not absolute speed. Re-runs itself under umockdev-wrapper.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <memory>
#include <string>

#include "aLink.h"
#include "aUSB.h"
#include "sim/module/SimulatedModule.h"
#include "sim/usb/EmulatedUsb.h"

namespace {

using Clock = std::chrono::steady_clock;

uint8_t isSerialReply(const aPacket* p, void*) {
    return p->address == 2 && p->dataSize == 7 && p->data[0] == 3 && p->data[1] == 9;
}

// Round trips per second over `seconds`; -1 when a reply is missing.
double roundTrips(uint32_t id, double seconds) {
    const uint8_t get[] = {0x03, 0x49, 0x20};
    unsigned n = 0;
    const auto start = Clock::now();
    const auto end = start + std::chrono::duration<double>(seconds);
    while (Clock::now() < end) {
        aPacket* req = aPacket_CreateWithData(2, sizeof get, get);
        aLink_PutPacket(id, req);
        aPacket_Destroy(&req);
        aPacket* reply = aLink_AwaitFirst(id, isSerialReply, nullptr, 5000);
        if (reply == nullptr) return -1;
        aPacket_Destroy(&reply);
        ++n;
    }
    return n / std::chrono::duration<double>(Clock::now() - start).count();
}

} // namespace

int main(int argc, char** argv) {
    if (!sim::UsbTestbed::available() && (argc < 2 || std::string(argv[1]) != "--no-exec")) {
        char* args[] = {const_cast<char*>("umockdev-wrapper"), argv[0],
                        const_cast<char*>("--no-exec"), nullptr};
        execvp("umockdev-wrapper", args);
        std::perror("bench_usb: umockdev-wrapper");
        return 1;
    }
    sim::Description d;
    d.module.serial = 0x40F5849A;
    constexpr double kSeconds = 3.0;

    for (bool highSpeed : {true, false}) {
        sim::SimulatedModule module(d);
        auto bed = std::make_unique<sim::UsbTestbed>();
        sim::UsbDevice& dev = bed->add({.serial = "40F5849A", .highSpeed = highSpeed});
        dev.attach(module);
        Vorlixane_libusb_exit();
        uint32_t id = aLink_CreateUSB(0x40F5849A);
        if (id == 0) {
            std::fprintf(stderr, "bench_usb: no USB link\n");
            return 1;
        }
        std::printf("emulated USB (%s speed): %.0f round trips/s\n", highSpeed ? "high" : "full",
                    roundTrips(id, kSeconds));
        aLink_Destroy(&id);
        bed.reset();
        Vorlixane_libusb_exit();
    }

    sim::SimulatedModule module(d);
    const uint16_t port = module.listenTcp();
    uint32_t id = aLink_CreateTCPIP(0x40F5849A, htonl(INADDR_LOOPBACK), port);
    if (id == 0) {
        std::fprintf(stderr, "bench_usb: no TCP link\n");
        return 1;
    }
    std::printf("loopback TCP: %.0f round trips/s\n", roundTrips(id, kSeconds));
    aLink_Destroy(&id);
    return 0;
}
