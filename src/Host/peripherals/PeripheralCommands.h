// The peripheral controller's commands over the link layer: topology changed, topology scan,
// route, current route, memory write and read; the topology read (the socket's entry and the
// port tables of the multiplexers below it), the block read of a device memory, and the raw
// frame exchange of the diagnostics.
//
// Devices are addressed by their route below the instrument: a channel held by the
// instrument starts with level 1 (its own socket), which a caller drops before it sends a
// route or memory command (RouteOf). On the wire a route is [count][levels].
//
// Every command takes the bus lock for its whole exchange and releases it on every exit.
// Results are eError codes: 11 write failure or refused memory access, 12 timeout or bad
// reply, 30 refused route (thrown), 47 other link failure, 48 bad or missing device data.
#pragma once

#include <cstdint>
#include <vector>

#include "Host/scpi/exec/KorvexChannel.h"

namespace Korvex {

// A device as the controller reports it (decoded from big-endian wire fields).
struct DeviceIdentifier {
    std::uint32_t presence = 0;    // 1 when a device is present
    std::uint32_t typeCode = 0;    // 1, 2 pulsed probe, 3 multiplexer, 6 pulsed camera
    std::uint32_t word = 0;        // identifier word, sent back in every request for it
    std::uint32_t number = 0;      // identifier number (24 bits), likewise
    std::uint32_t capability = 0;  // bit 0: three-axis Hall sensor
};

constexpr std::uint32_t kTypePulsedProbe = 2;
constexpr std::uint32_t kTypeMultiplexer = 3;
constexpr std::uint32_t kTypePulsedCamera = 6;

// One element of the topology list: the device's route below the socket, its identifier and
// its number of ports (multiplexers; 0 otherwise).
struct TopologyEntry {
    CKorvexChannel channel;
    DeviceIdentifier identifier;
    std::uint8_t channelCount = 0;
};

// Argument and result of the memory commands. The data is the caller's own copy.
struct PeripheralMemoryBlock {
    std::uint8_t selector = 0;
    std::vector<std::uint8_t> data;
};

// A channel without its first level (the instrument's socket).
CKorvexChannel RouteOf(const CKorvexChannel& channel);

int PeripheralTopologyChanged(std::uint32_t& changed);
int PeripheralRequestTopology(std::uint8_t& status);
// Throws 30 when the controller answers a code it does not accept for this route (2 only for
// the route reset: empty route, identifier 0 and 0).
int PeripheralRoute(const CKorvexChannel& route, std::uint16_t word, std::uint32_t number);
// Throws 30 on a refused code; 12 for a malformed reply (more than 5 levels, wrong length).
int PeripheralGetCurrentRoute(CKorvexChannel& route, std::uint16_t& word, std::uint32_t& number);
int PeripheralWriteMemory(const CKorvexChannel& route, std::uint16_t word, std::uint32_t number,
                          const PeripheralMemoryBlock& block, std::uint32_t& code);
int PeripheralReadMemory(const CKorvexChannel& route, std::uint16_t word, std::uint32_t number,
                         PeripheralMemoryBlock& block, std::uint32_t& code);
int PeripheralReadTopologyEntry(TopologyEntry& entry);

// The topology read; throws its eError. The list holds each multiplexer first, then its
// devices in port order, then its sub-multiplexers' subtrees in port order. Ports deeper
// than a channel can address are left out.
void PeripheralReadTopology(std::vector<TopologyEntry>& list);
void PeripheralWalkMultiplexer(const TopologyEntry& multiplexer, std::vector<TopologyEntry>& list);

// length bytes of a device memory from address, through the block window; the record found
// there (version 1 or 2, checked) gives the total length. channel is the device's channel
// (with the socket level). 0, or 48 on any failure.
int ReadDeviceBlock(std::vector<std::uint8_t>& out, const CKorvexChannel& channel,
                    std::uint16_t word, std::uint32_t number, std::uint16_t address,
                    std::uint16_t length);

// Copies a field [u8 n][n bytes] at cursor into out and advances; false (nothing copied)
// when it would pass end.
bool ReadLengthPrefixedBytes(std::vector<std::uint8_t>& out, const std::uint8_t*& cursor,
                             const std::uint8_t* end);

// Big-endian readers.
inline std::uint16_t BE16(const std::uint8_t* p) {
    return static_cast<std::uint16_t>(p[0] << 8 | p[1]);
}
inline std::uint32_t BE24(const std::uint8_t* p) {
    return std::uint32_t(p[0]) << 16 | std::uint32_t(p[1]) << 8 | p[2];
}
inline std::uint32_t BE32(const std::uint8_t* p) {
    return std::uint32_t(p[0]) << 24 | BE24(p + 1);
}

}  // namespace Korvex
