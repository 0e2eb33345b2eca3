// Engine statuses written by the VXI-11 links, their interface and its synchronisation
// objects (the VXI-11 error each maps to in brackets).
#pragma once

#include <cstdint>

constexpr std::uint32_t VXI11_STATUS_NOT_OPEN = 0x54303;          // interface not open (3)
constexpr std::uint32_t VXI11_STATUS_LOCKED = 0x54315;            // lock held elsewhere (11)
constexpr std::uint32_t VXI11_STATUS_NOT_LOCKED = 0x54316;        // link holds no lock (12)
constexpr std::uint32_t VXI11_STATUS_IO_TIMEOUT = 0x54324;        // I/O time-out (15)
constexpr std::uint32_t VXI11_STATUS_PARAMETER = 0x5434F;         // bad argument (5)
constexpr std::uint32_t VXI11_STATUS_INVALID_LINK = 0x54390;      // unknown lid (4)
constexpr std::uint32_t VXI11_STATUS_NO_CHANNEL = 0x54391;        // interrupt channel not established (6)
constexpr std::uint32_t VXI11_STATUS_CHANNEL_EXISTS = 0x54392;    // interrupt channel established (29)
constexpr std::uint32_t VXI11_STATUS_NOT_SUPPORTED = 0x54395;     // operation not supported (8)
constexpr std::uint32_t VXI11_STATUS_ABORTED = 0x54396;           // aborted or closed (23)
constexpr std::uint32_t VXI11_STATUS_NO_MEMORY = 0x543F0;         // out of memory (9)
constexpr std::uint32_t VXI11_STATUS_NO_DEVICE = 0x54310;         // no such open device (21)
constexpr std::uint32_t VXI11_STATUS_FAULT = 0x543FF;             // a wait ended otherwise
