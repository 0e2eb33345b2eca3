#include "Host/peripherals/PeripheralCommands.h"

#include <algorithm>
#include <string>

#include "Host/parameters/Error.h"
#include "Host/parameters/Logger.h"
#include "Host/peripherals/CKorvexPeripheral.h"
#include "Host/peripherals/PeripheralBus.h"

namespace Korvex {

namespace {

constexpr std::uint8_t kChanged = 0x22;
constexpr std::uint8_t kScan = 0x24;
constexpr std::uint8_t kEntry = 0x25;
constexpr std::uint8_t kRoute = 0x26;
constexpr std::uint8_t kCurrentRoute = 0x28;
constexpr std::uint8_t kWriteMemory = 0x2A;
constexpr std::uint8_t kReadMemory = 0x2C;
constexpr std::uint32_t kEntryLength = 16;
constexpr std::uint32_t kChangeLength = 5;
// Routes below the socket: a channel holds five levels, the socket's among them.
constexpr unsigned kMaxRouteLevels = CKorvexChannel::MaxLevels - 1;

bool Succeeded(ePeripheralErrorType r) { return r == ePeripheralOk || r == ePeripheralMorePending; }

std::vector<std::uint8_t> BuildFrame(std::uint8_t addressByte, const std::vector<std::uint8_t>& payload) {
    // Sized once, then filled: the optimiser sees every bound.
    std::vector<std::uint8_t> f(payload.size() + 4);
    f[0] = addressByte;
    f[1] = static_cast<std::uint8_t>((payload.size() + 4) >> 8);
    f[2] = static_cast<std::uint8_t>(payload.size() + 4);
    std::copy(payload.begin(), payload.end(), f.begin() + 3);
    std::uint8_t x = 0;
    for (std::size_t i = 0; i + 1 < f.size(); ++i) x ^= f[i];
    f.back() = x;
    return f;
}

// [count][levels][identifier word][identifier number]
std::vector<std::uint8_t> Addressing(const CKorvexChannel& route, std::uint16_t word,
                                     std::uint32_t number) {
    const unsigned count = std::min<unsigned>(route.count, CKorvexChannel::MaxLevels);
    // Assembled in place and copied once: the optimiser sees every bound.
    std::uint8_t bytes[1 + CKorvexChannel::MaxLevels + 5];
    std::size_t n = 0;
    bytes[n++] = static_cast<std::uint8_t>(count);
    for (unsigned i = 0; i < count; ++i) bytes[n++] = route.level[i];
    for (std::uint8_t b : {static_cast<std::uint8_t>(word >> 8), static_cast<std::uint8_t>(word),
                           static_cast<std::uint8_t>(number >> 16), static_cast<std::uint8_t>(number >> 8),
                           static_cast<std::uint8_t>(number)})
        bytes[n++] = b;
    return std::vector<std::uint8_t>(bytes, bytes + n);
}

// Request, acknowledge and the wait after it, with the bus lock held; status receives the
// status byte of that wait, or the acknowledging one when the transaction failed.
ePeripheralErrorType Exchange(const std::vector<std::uint8_t>& frame, std::uint8_t& status,
                              unsigned pollTicks = 10) {
    std::uint32_t ack = 0;
    ePeripheralErrorType r = PeripheralBusTransaction(frame.data(), ack);
    if (!Succeeded(r)) {
        status = static_cast<std::uint8_t>(ack);
        return r;
    }
    return PeripheralWaitReadyLocked(status, pollTicks);
}

void DecodeIdentifier(const std::uint8_t* p, DeviceIdentifier& id) {
    id.presence = BE16(p);
    id.typeCode = p[2];
    id.word = BE16(p + 3);
    id.number = BE24(p + 5);
    id.capability = BE32(p + 8);
}

bool IsMeasuringType(std::uint32_t type) {
    return type == 1 || type == kTypePulsedProbe || type == kTypePulsedCamera;
}

std::string RouteText(const CKorvexChannel& route) {
    std::string text = "1";
    for (unsigned i = 0; i < route.count && i < CKorvexChannel::MaxLevels; ++i)
        text += "/" + std::to_string(route.level[i]);
    return text;
}

}  // namespace

CKorvexChannel RouteOf(const CKorvexChannel& channel) {
    CKorvexChannel route;
    const unsigned count = std::min<unsigned>(channel.count, CKorvexChannel::MaxLevels);
    for (unsigned i = 1; i < count; ++i) route.level[i - 1] = channel.level[i];
    route.count = static_cast<std::uint8_t>(count > 0 ? count - 1 : 0);
    return route;
}

int PeripheralTopologyChanged(std::uint32_t& changed) {
    CPeripheralBusLock lock;
    std::uint8_t status = 0;
    if (!Succeeded(Exchange(BuildFrame(kChanged, {}), status))) return 12;
    const std::uint8_t code = status & 0x0E;
    if (code != 0 && code != 2) return 12;
    std::vector<std::uint8_t> reply;
    if (!PeripheralReadFrameLocked(kChanged + 1, reply, kChangeLength)) return 12;
    changed = reply[3];
    return 0;
}

int PeripheralRequestTopology(std::uint8_t& status) {
    CPeripheralBusLock lock;
    return PeripheralErrorToCode(Exchange(BuildFrame(kScan, {}), status, 20));
}

int PeripheralRoute(const CKorvexChannel& route, std::uint16_t word, std::uint32_t number) {
    int result = 0;
    bool refused = false;
    {
        CPeripheralBusLock lock;
        std::uint8_t status = 0;
        const ePeripheralErrorType r = Exchange(BuildFrame(kRoute, Addressing(route, word, number)), status);
        if (!Succeeded(r)) {
            result = PeripheralErrorToCode(r);
        } else {
            const std::uint8_t code = status & 0x0E;
            const bool reset = route.count == 0 && word == 0 && number == 0;
            refused = !(code == 0 || (code == 2 && reset));
        }
    }
    if (refused) throw static_cast<int>(eNoPeripheralConnected);
    return result;
}

int PeripheralGetCurrentRoute(CKorvexChannel& route, std::uint16_t& word, std::uint32_t& number) {
    std::vector<std::uint8_t> reply;
    bool refused = false;
    {
        CPeripheralBusLock lock;
        std::uint8_t status = 0;
        const ePeripheralErrorType r = Exchange(BuildFrame(kCurrentRoute, {}), status);
        if (!Succeeded(r)) return PeripheralErrorToCode(r);
        refused = (status & 0x0E) != 0;
        if (!refused && !PeripheralReadFrameLocked(kCurrentRoute + 1, reply)) return 12;
    }
    if (refused) throw static_cast<int>(eNoPeripheralConnected);
    // [0x29][L][n][n levels][word 2][number 3][check]
    if (reply.size() < 10) return 12;
    const unsigned n = reply[3];
    if (n > CKorvexChannel::MaxLevels || reply.size() != n + 10u) return 12;
    route.count = 0;
    for (unsigned i = 0; i < n; ++i) route.AddLevel(reply[4 + i]);
    word = BE16(&reply[4 + n]);
    number = BE24(&reply[6 + n]);
    return 0;
}

int PeripheralWriteMemory(const CKorvexChannel& route, std::uint16_t word, std::uint32_t number,
                          const PeripheralMemoryBlock& block, std::uint32_t& code) {
    std::vector<std::uint8_t> payload = Addressing(route, word, number);
    payload.push_back(block.selector);
    payload.insert(payload.end(), block.data.begin(), block.data.end());
    if (payload.size() + 4 > 0xFFFF) return 47;  // no frame can carry it
    CPeripheralBusLock lock;
    std::uint8_t status = 0;
    const ePeripheralErrorType r = Exchange(BuildFrame(kWriteMemory, payload), status);
    code = status & 0x0E;
    if (!Succeeded(r)) return PeripheralErrorToCode(r);
    return code == 0 ? 0 : 11;
}

int PeripheralReadMemory(const CKorvexChannel& route, std::uint16_t word, std::uint32_t number,
                         PeripheralMemoryBlock& block, std::uint32_t& code) {
    std::vector<std::uint8_t> payload = Addressing(route, word, number);
    payload.push_back(block.selector);
    block.data.clear();
    std::vector<std::uint8_t> reply;
    {
        CPeripheralBusLock lock;
        std::uint8_t status = 0;
        const ePeripheralErrorType r = Exchange(BuildFrame(kReadMemory, payload), status);
        code = status & 0x0E;
        if (!Succeeded(r)) return PeripheralErrorToCode(r);
        if (code != 0) return 11;
        if (!PeripheralReadFrameLocked(kReadMemory + 1, reply)) return 12;
    }
    // [0x2D][L][selector][word 2][number 3][data][check]
    if (reply.size() < 10) return 12;
    block.data.assign(reply.begin() + 9, reply.end() - 1);
    return 0;
}

int PeripheralReadTopologyEntry(TopologyEntry& entry) {
    std::vector<std::uint8_t> frame;
    {
        CPeripheralBusLock lock;
        std::uint8_t status = 0;
        if (!Succeeded(PeripheralWaitReadyLocked(status))) return 12;
        if (!PeripheralReadFrameLocked(kEntry, frame, kEntryLength)) return 12;
    }
    entry = TopologyEntry{};
    DecodeIdentifier(&frame[3], entry.identifier);
    return 0;
}

void PeripheralReadTopology(std::vector<TopologyEntry>& list) {
    list.clear();
    TopologyEntry socket;
    if (int r = PeripheralReadTopologyEntry(socket)) throw r;
    if (socket.identifier.presence != 1) throw static_cast<int>(eNoData);
    if (IsMeasuringType(socket.identifier.typeCode)) {
        list.push_back(socket);
    } else if (socket.identifier.typeCode == kTypeMultiplexer) {
        std::uint8_t status = 0;
        if (int r = PeripheralRequestTopology(status)) throw r;
        PeripheralWalkMultiplexer(socket, list);
    }
}

void PeripheralWalkMultiplexer(const TopologyEntry& multiplexer, std::vector<TopologyEntry>& list) {
    const DeviceIdentifier& id = multiplexer.identifier;
    if (id.typeCode == 0) throw static_cast<int>(eNoData);
    PeripheralMemoryBlock table;
    table.selector = 3;
    std::uint32_t code = 0;
    if (int r = PeripheralReadMemory(multiplexer.channel, static_cast<std::uint16_t>(id.word),
                                     id.number, table, code))
        throw r;
    if (code != 0 || table.data.size() < 2) throw static_cast<int>(eNoData);
    TopologyEntry self = multiplexer;
    self.channelCount = table.data[1];
    list.push_back(self);

    std::vector<TopologyEntry> subMultiplexers;
    for (unsigned i = 0; i < self.channelCount; ++i) {
        const std::size_t offset = 2 + 12 * std::size_t(i);
        if (offset + 12 > table.data.size()) throw static_cast<int>(eNoData);
        TopologyEntry port;
        DecodeIdentifier(&table.data[offset], port.identifier);
        if (port.identifier.presence != 1) continue;
        const bool measuring = IsMeasuringType(port.identifier.typeCode);
        if (!measuring && port.identifier.typeCode != kTypeMultiplexer) continue;
        if (self.channel.count >= kMaxRouteLevels) {
            Logger().Printf("PeripheralWalkMultiplexer, port %u of %s is deeper than a channel "
                            "reaches; skipped\n", i + 1, RouteText(self.channel).c_str());
            continue;
        }
        port.channel = self.channel;
        port.channel.AddLevel(static_cast<std::uint8_t>(i + 1));
        if (measuring)
            list.push_back(port);
        else
            subMultiplexers.push_back(port);
    }
    int first = 0;
    for (const TopologyEntry& sub : subMultiplexers) {
        try {
            PeripheralWalkMultiplexer(sub, list);
        } catch (int e) {
            if (first == 0) first = e;
        }
    }
    if (first != 0) throw first;
}

int ReadDeviceBlock(std::vector<std::uint8_t>& out, const CKorvexChannel& channel,
                    std::uint16_t word, std::uint32_t number, std::uint16_t address,
                    std::uint16_t length) {
    out.clear();
    const CKorvexChannel route = RouteOf(channel);
    PeripheralMemoryBlock open;
    open.selector = 12;
    open.data = {static_cast<std::uint8_t>(address >> 8), static_cast<std::uint8_t>(address),
                 static_cast<std::uint8_t>(length >> 8), static_cast<std::uint8_t>(length)};
    std::uint32_t code = 0;
    if (PeripheralWriteMemory(route, word, number, open, code) != 0 || code != 0) return eNoData;

    PeripheralMemoryBlock chunk;
    chunk.selector = 12;
    if (PeripheralReadMemory(route, word, number, chunk, code) != 0) return eNoData;
    const std::vector<std::uint8_t>& d = chunk.data;
    if (d.size() < 6) return eNoData;
    const std::uint16_t version = BE16(d.data());
    const std::size_t checked = version == 1 ? 29 : version == 2 ? 17 : 0;
    if (checked == 0 || d.size() < checked ||
        !PeripheralFrameCheck(d.data(), static_cast<std::uint16_t>(checked)))
        return eNoData;
    const std::size_t total = BE16(&d[4]);
    out.assign(d.begin(), d.begin() + std::min(total, d.size()));
    while (out.size() < total) {
        if (PeripheralReadMemory(route, word, number, chunk, code) != 0) return eNoData;
        if (chunk.data.empty()) return eNoData;  // the window is spent
        const std::size_t n = std::min(chunk.data.size(), total - out.size());
        out.insert(out.end(), chunk.data.begin(), chunk.data.begin() + n);
    }
    return 0;
}

bool ReadLengthPrefixedBytes(std::vector<std::uint8_t>& out, const std::uint8_t*& cursor,
                             const std::uint8_t* end) {
    if (cursor >= end) return false;
    const std::size_t n = *cursor;
    if (std::size_t(end - cursor) - 1 < n) return false;
    out.assign(cursor + 1, cursor + 1 + n);
    cursor += 1 + n;
    return true;
}

int CKorvexPeripheral::ReadMemory(std::vector<std::uint8_t>& frame, std::uint8_t& status) {
    if (frame.empty()) return eGeneralFailure;
    const bool request = (frame[0] & 1) == 0;
    // A request goes out as long as its length field says: it must be the whole vector.
    if (request && (frame.size() < 4 || BE16(&frame[1]) != frame.size())) return eGeneralFailure;
    std::uint8_t s = 0;
    if (int r = PeripheralWaitReady(&s)) return r;
    if (request) {
        PeripheralTransact(frame.data());
        frame.clear();
    } else {
        std::vector<std::uint8_t> reply;
        if (PeripheralReadReply(frame[0], reply) == 0)
            frame = std::move(reply);
        else
            frame.clear();
    }
    if (int r = PeripheralWaitReady(&s)) return r;
    status = s;
    return 0;
}

}  // namespace Korvex
