// Every block carries a 16-byte header in front of it that holds the address malloc
// returned, so EngineFree also finds the start of a misaligned block.
#include "engine/os/Allocator.h"

#include <atomic>
#include <cstdlib>
#include <cstring>

namespace {

constexpr std::size_t kHeader = 16;

std::atomic<std::uint64_t> allocations{0};
std::atomic<std::int64_t> liveBlocks{0};
std::atomic<std::uint64_t> failAt{0};  // number of the allocation that fails; 0: none
std::atomic<bool> misalignNext{false};

}  // namespace

void* EngineAllocate(std::size_t size) {
    const std::uint64_t number = allocations.fetch_add(1) + 1;
    std::uint64_t target = number;
    if (failAt.compare_exchange_strong(target, 0)) {
        return nullptr;
    }
    const bool misalign = misalignNext.exchange(false);
    const std::size_t offset = kHeader + (misalign ? 1 : 0);
    if (size > static_cast<std::size_t>(-1) - offset) {
        return nullptr;
    }
    void* base = std::malloc(size + offset);
    if (base == nullptr) {
        return nullptr;
    }
    unsigned char* block = static_cast<unsigned char*>(base) + offset;
    std::memcpy(block - sizeof(void*), &base, sizeof(void*));
    liveBlocks.fetch_add(1);
    return block;
}

void EngineFree(void* block) {
    if (block == nullptr) {
        return;
    }
    void* base = nullptr;
    std::memcpy(&base, static_cast<unsigned char*>(block) - sizeof(void*), sizeof(void*));
    liveBlocks.fetch_sub(1);
    std::free(base);
}

void EngineFailAllocation(std::uint32_t n) {
    failAt.store(n == 0 ? 0 : allocations.load() + n);
}

void EngineMisalignNextBlock() { misalignNext.store(true); }

void EngineResetAllocatorHooks() {
    failAt.store(0);
    misalignNext.store(false);
}

std::uint64_t EngineAllocationCount() { return allocations.load(); }

std::int64_t EngineLiveBlocks() { return liveBlocks.load(); }
