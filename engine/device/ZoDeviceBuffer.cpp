#include "engine/device/ZoDeviceBuffer.h"

#include "engine/os/Allocator.h"
#include "engine/status/EngineStatus.h"

namespace Korvex {

namespace {
bool Aligned(const void* pointer)
{
    return (reinterpret_cast<std::uintptr_t>(pointer) & 3u) == 0;
}
} // namespace

CZoDeviceBuffer::CZoDeviceBuffer(std::uint32_t bufferSize, std::uint8_t* userBuffer)
{
    if (bufferSize == 0 || (bufferSize != 1 && bufferSize % 4 != 0)) {
        status = ZODEVICE_STATUS_MSG_BUFFER_SIZE_INVALID;
        return;
    }
    if (userBuffer != nullptr) {
        if (!Aligned(userBuffer)) {
            status = ZODEVICE_STATUS_MSG_BUFFER_NOT_ON_32BIT_BOUNDARY;
            return;
        }
        data = userBuffer;
    } else {
        void* block = EngineAllocate(bufferSize);
        if (block != nullptr && !Aligned(block)) {
            EngineFree(block);
            block = EngineAllocate(bufferSize + 4);
            if (block != nullptr) {
                const std::uintptr_t address = reinterpret_cast<std::uintptr_t>(block);
                data = reinterpret_cast<std::uint8_t*>((address + 3u) & ~std::uintptr_t{3});
            }
        } else {
            data = static_cast<std::uint8_t*>(block);
        }
        if (block == nullptr) {
            status = ZODEVICE_STATUS_INSUFFICIENT_MEMORY;
            data = nullptr;
            return;
        }
        ownBlock = block;
    }
    size = bufferSize;
    status = 0;
    valid = 1;
}

CZoDeviceBuffer::~CZoDeviceBuffer()
{
    EngineFree(ownBlock);
}

} // namespace Korvex
