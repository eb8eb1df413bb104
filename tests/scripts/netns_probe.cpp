// Probe for the private network namespace test.
//
//   netns_probe inside TOKEN PORT HOST_NETNS_INODE
//       run through scripts/netns-run: checks that the namespace is a new one holding only
//       lo, v0 and v1, sends TOKEN as a multicast datagram to 232.2.2.2:PORT out of v0, and
//       requires it to be looped back to a member socket and to cross the pair to v1.
//   netns_probe capture TOKEN FENCE PORT
//       run on the host: watches every frame on every host interface, until a frame holding
//       FENCE shows the capture has caught up; fails when a frame held TOKEN. Prints "ready"
//       once it is watching. Without the right to capture frames it listens on PORT as a
//       member of 232.2.2.2 on loopback instead (joining elsewhere would announce the group
//       on the host's network). Only listens: it never sends.
//   netns_probe fence FENCE PORT
//       sends FENCE in one UDP datagram to 127.0.0.1:PORT (it never leaves loopback).
//
// Exit status: 0 when the checks hold, 1 when one fails (with a line on stderr), 2 for a
// usage or set-up error.
#include <arpa/inet.h>
#include <linux/if_ether.h>
#include <linux/if_packet.h>
#include <net/if.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <set>
#include <string>

namespace {

constexpr const char* kGroup = "232.2.2.2";
constexpr const char* kV0Address = "10.77.0.1";
// Generous bounds: the checks end as soon as their condition holds.
constexpr auto kPatience = std::chrono::seconds(20);

int Fail(const char* what) {
    std::fprintf(stderr, "netns_probe: %s\n", what);
    return 1;
}

int SetupError(const char* what) {
    std::fprintf(stderr, "netns_probe: %s: %s\n", what, std::strerror(errno));
    return 2;
}

// A socket closed at scope exit.
struct Fd {
    int fd = -1;
    explicit Fd(int f) : fd(f) {}
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    ~Fd() {
        if (fd >= 0) close(fd);
    }
};

bool Contains(const char* data, ssize_t length, const std::string& needle) {
    return length > 0 && memmem(data, static_cast<size_t>(length), needle.data(), needle.size());
}

std::chrono::steady_clock::time_point Deadline() {
    return std::chrono::steady_clock::now() + kPatience;
}

int MsLeft(std::chrono::steady_clock::time_point deadline) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    return left.count() > 0 ? static_cast<int>(left.count()) : 0;
}

int Inside(const std::string& token, int port, const std::string& hostNetns) {
    struct stat ns;
    if (stat("/proc/self/ns/net", &ns) != 0) return SetupError("stat /proc/self/ns/net");
    if (std::to_string(ns.st_ino) == hostNetns)
        return Fail("still in the host's network namespace");

    std::set<std::string> names;
    if (struct if_nameindex* list = if_nameindex()) {
        for (struct if_nameindex* i = list; i->if_index; ++i)
            names.insert(i->if_name);
        if_freenameindex(list);
    }
    if (names != std::set<std::string>{"lo", "v0", "v1"}) {
        std::string all;
        for (auto& n : names)
            all += " " + n;
        std::fprintf(stderr, "netns_probe: interfaces:%s\n", all.c_str());
        return Fail("the namespace must hold exactly lo, v0 and v1");
    }
    unsigned v1 = if_nametoindex("v1");

    // Sees what crosses the pair: a frame on v1 can only have come out of v0.
    Fd wire(socket(AF_PACKET, SOCK_RAW, htons(ETH_P_ALL)));
    if (wire.fd < 0) return SetupError("packet socket inside the namespace");
    sockaddr_ll ll{};
    ll.sll_family = AF_PACKET;
    ll.sll_protocol = htons(ETH_P_ALL);
    ll.sll_ifindex = static_cast<int>(v1);
    if (bind(wire.fd, reinterpret_cast<sockaddr*>(&ll), sizeof ll) != 0)
        return SetupError("bind to v1");

    in_addr group{}, v0{};
    inet_pton(AF_INET, kGroup, &group);
    inet_pton(AF_INET, kV0Address, &v0);

    Fd member(socket(AF_INET, SOCK_DGRAM, 0));
    int one = 1;
    setsockopt(member.fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in bound{};
    bound.sin_family = AF_INET;
    bound.sin_port = htons(static_cast<uint16_t>(port));
    bound.sin_addr = group;
    if (bind(member.fd, reinterpret_cast<sockaddr*>(&bound), sizeof bound) != 0)
        return SetupError("bind the member socket");
    ip_mreq join{group, v0};
    if (setsockopt(member.fd, IPPROTO_IP, IP_ADD_MEMBERSHIP, &join, sizeof join) != 0)
        return SetupError("join 232.2.2.2 on v0");

    Fd sender(socket(AF_INET, SOCK_DGRAM, 0));
    unsigned char ttl = 1, loop = 1;
    setsockopt(sender.fd, IPPROTO_IP, IP_MULTICAST_TTL, &ttl, sizeof ttl);
    setsockopt(sender.fd, IPPROTO_IP, IP_MULTICAST_LOOP, &loop, sizeof loop);
    if (setsockopt(sender.fd, IPPROTO_IP, IP_MULTICAST_IF, &v0, sizeof v0) != 0)
        return SetupError("send through v0");
    sockaddr_in to = bound;
    if (sendto(sender.fd, token.data(), token.size(), 0, reinterpret_cast<sockaddr*>(&to),
               sizeof to) != static_cast<ssize_t>(token.size()))
        return SetupError("send the datagram");

    bool looped = false, crossed = false;
    auto deadline = Deadline();
    char buffer[65536];
    while (!(looped && crossed)) {
        int wait = MsLeft(deadline);
        if (wait == 0) break;
        pollfd fds[2] = {{member.fd, POLLIN, 0}, {wire.fd, POLLIN, 0}};
        if (poll(fds, 2, wait) < 0 && errno != EINTR) return SetupError("poll");
        if (fds[0].revents & POLLIN) {
            ssize_t n = recv(member.fd, buffer, sizeof buffer, 0);
            looped |= n == static_cast<ssize_t>(token.size()) && Contains(buffer, n, token);
        }
        if (fds[1].revents & POLLIN)
            crossed |= Contains(buffer, recv(wire.fd, buffer, sizeof buffer, 0), token);
    }
    if (!looped) return Fail("the multicast datagram was not looped back inside the namespace");
    if (!crossed) return Fail("the multicast datagram did not leave through v0 to v1");
    std::printf("inside: looped back and seen on v1\n");
    return 0;
}

// Without packet capture: a member of the group on loopback, bound to every address.
int ListenFallback(int port) {
    int s = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in bound{};
    bound.sin_family = AF_INET;
    bound.sin_port = htons(static_cast<uint16_t>(port));
    bound.sin_addr.s_addr = htonl(INADDR_ANY);
    in_addr group{}, lo{};
    inet_pton(AF_INET, kGroup, &group);
    lo.s_addr = htonl(INADDR_LOOPBACK);
    ip_mreq join{group, lo};
    if (s < 0 || bind(s, reinterpret_cast<sockaddr*>(&bound), sizeof bound) != 0 ||
        setsockopt(s, IPPROTO_IP, IP_ADD_MEMBERSHIP, &join, sizeof join) != 0) {
        if (s >= 0) close(s);
        return -1;
    }
    return s;
}

int Capture(const std::string& token, const std::string& fence, int port) {
    Fd wire(socket(AF_PACKET, SOCK_RAW, htons(ETH_P_ALL)));
    if (wire.fd < 0 && (errno == EPERM || errno == EACCES)) {
        wire.fd = ListenFallback(port);
        if (wire.fd < 0) return SetupError("host listener");
        std::printf("host: no packet capture allowed; listening on loopback\n");
    } else if (wire.fd < 0) {
        return SetupError("packet socket on the host");
    }
    std::printf("ready\n");
    std::fflush(stdout);
    bool leaked = false;
    auto deadline = Deadline();
    char buffer[65536];
    for (;;) {
        int wait = MsLeft(deadline);
        if (wait == 0) return Fail("the fence never arrived: the capture saw nothing");
        pollfd fd{wire.fd, POLLIN, 0};
        if (poll(&fd, 1, wait) < 0 && errno != EINTR) return SetupError("poll");
        if (!(fd.revents & POLLIN)) continue;
        ssize_t n = recv(wire.fd, buffer, sizeof buffer, 0);
        leaked |= Contains(buffer, n, token);
        if (Contains(buffer, n, fence)) break;
    }
    if (leaked) return Fail("the namespace's datagram reached a host interface");
    std::printf("host: nothing from the namespace\n");
    return 0;
}

int Fence(const std::string& fence, int port) {
    Fd s(socket(AF_INET, SOCK_DGRAM, 0));
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(static_cast<uint16_t>(port));
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (sendto(s.fd, fence.data(), fence.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to) <
        0)
        return SetupError("send the fence");
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    std::string mode = argc > 1 ? argv[1] : "";
    if (mode == "inside" && argc == 5) return Inside(argv[2], std::atoi(argv[3]), argv[4]);
    if (mode == "capture" && argc == 5) return Capture(argv[2], argv[3], std::atoi(argv[4]));
    if (mode == "fence" && argc == 4) return Fence(argv[2], std::atoi(argv[3]));
    std::fprintf(stderr, "usage: netns_probe inside TOKEN PORT HOST_NETNS_INODE\n"
                         "       netns_probe capture TOKEN FENCE PORT\n"
                         "       netns_probe fence FENCE PORT\n");
    return 2;
}
