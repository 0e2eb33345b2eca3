// State of the NetBIOS name service: one instance for the process, shared by the packet
// routines, the name table, the browse pass and the "nbns" thread. Only the flags and the two
// descriptors are touched by the caller of nbns_start/nbns_stop; everything else belongs to
// the "nbns" thread (or to a test that drives the routines directly).
#pragma once

#include <sys/select.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <vector>

#include "platform/kernel/Kernel.h"

namespace Korvex::nbns {

constexpr std::size_t MaxDatagram = 1024;
constexpr std::size_t TextSize = 1024;     // start arguments, comment
constexpr std::size_t RecordNameSize = 100;  // 99 characters and a NUL
constexpr std::size_t MaxNameRecords = 512;

enum NameSource : std::int32_t { SourceRegistered = 1, SourceSelf = 2, SourceLookup = 3 };

// One entry of the name table. Addresses in network byte order.
struct NameRecord {
    std::int32_t start_time = 0;  // calendar seconds
    std::int32_t ttl = 0;         // 0 or less: permanent
    std::uint32_t address = 0;
    std::uint32_t master_address = 0;
    bool found_master = false;
    bool valid = false;
    bool group = false;
    bool unicast = false;
    char name[RecordNameSize] = {};
    std::int32_t type = 0;
    std::int32_t announce_count = 0;
    std::int32_t source = 0;
};

// Time as the service sees it: calendar milliseconds, delays and waits for readable sockets.
// The board's clock runs on board ticks; tests put a clock of their own in its place.
class NbnsClock {
public:
    virtual ~NbnsClock() = default;
    virtual std::int64_t NowMs() = 0;
    virtual void Delay(kernel::tick_t ticks) = 0;
    // select() on the set with a time-out in milliseconds of this clock.
    virtual int WaitReadable(int nfds, fd_set* readable, std::int64_t timeoutMs) = 0;
};

// Takes the place of sendto(): the socket, the datagram, destination address (network byte
// order) and port; true when sent.
using NbnsSendHook = std::function<bool(int fd, const std::uint8_t* data, std::size_t length,
                                        std::uint32_t address, std::uint16_t port)>;

// What the service knows of "eth0". Addresses in network byte order.
struct NbnsInterface {
    bool up = false;
    std::uint32_t address = 0;
    bool maskKnown = false;
    std::uint32_t netmask = 0;
};
using NbnsInterfaceReader = std::function<NbnsInterface()>;

struct NbnsState {
    // Shared with the caller of nbns_start/nbns_stop.
    std::atomic<bool> conflict{false};
    std::atomic<bool> stopRequested{false};
    std::atomic<bool> stopped{true};
    std::atomic<bool> failed{false};
    std::atomic<bool> startedUp{false};
    std::atomic<int> nameSocket{-1};      // UDP 137
    std::atomic<int> datagramSocket{-1};  // UDP 138

    // Start arguments.
    char host[TextSize] = {};
    char domain[TextSize] = {};
    char commentArg[TextSize] = {};

    // Own addresses (network byte order).
    std::uint32_t ownAddress = 0;
    bool ownKnown = false;
    std::uint32_t netmask = 0;
    bool maskKnown = false;
    std::uint32_t broadcast = 0;
    char ownText[64] = {};

    char myname[TextSize] = {};
    char comment[TextSize] = {};

    // Sender of the last datagram read (network byte order address, host order port).
    std::uint32_t lastSenderAddress = 0;
    std::uint16_t lastSenderPort = 0;

    std::int32_t regHookCount = 0;
    std::int32_t lastRegTime = 0;
    std::int32_t lastBrowseTime = 0;
    bool firstBrowse = true;
    std::uint16_t regTrnId = 374;
    std::uint16_t releaseTrnId = 374;
    std::uint16_t queryTrnId = 25154;
    std::uint16_t statusTrnId = 16994;
    std::int32_t numGoodSends = 0;
    std::int32_t numGoodReceives = 0;
    std::int32_t processed = 0;
    std::int32_t announceInterval = 1;
    std::uint16_t datagramId = 0;

    std::vector<NameRecord> names;

    // Injected by tests; defaults: the board's clock, sendto(), eth0, ports 137 and 138.
    NbnsClock* clock = nullptr;
    NbnsSendHook sendHook;
    NbnsInterfaceReader interfaceReader;
    std::uint16_t namePort = 137;
    std::uint16_t datagramPort = 138;
};

NbnsState& State();

// The module clock (the injected one, else the board's) and its calendar seconds and
// milliseconds.
NbnsClock& module_clock();
std::int32_t now_seconds();
std::int64_t now_ms();

// Log routine: writes to the standard output and flushes when level is within the debug
// level (0).
int nbns_log(int level, const char* format, ...) __attribute__((format(printf, 2, 3)));

}  // namespace Korvex::nbns
