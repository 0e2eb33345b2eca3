// Descriptor of a message buffer handed to the engine: a 4-byte aligned block of size
// bytes, the caller's or one the descriptor allocated itself.
#pragma once

#include <cstdint>

namespace Korvex {

class CZoDeviceBuffer {
public:
    // size: 1 or a non-zero multiple of 4 (else 0x54344). A userBuffer must be 4-byte
    // aligned (else 0x54343); without one the block is allocated (0x543F0 on failure).
    CZoDeviceBuffer(std::uint32_t size, std::uint8_t* userBuffer);
    ~CZoDeviceBuffer();
    CZoDeviceBuffer(const CZoDeviceBuffer&) = delete;
    CZoDeviceBuffer& operator=(const CZoDeviceBuffer&) = delete;

    std::uint8_t valid = 0;
    std::uint32_t status = 0;
    std::uint8_t* data = nullptr;
    std::uint32_t size = 0;
    // Bytes to send, or bytes received / sent as reported by the engine.
    std::uint32_t count = 0;
    void* ownBlock = nullptr;
};

} // namespace Korvex
