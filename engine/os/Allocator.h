// The engine's allocator: every engine object and buffer is allocated here and constructed
// in place, so that a failed allocation is a status (never an exception) and tests can make
// any chosen allocation fail.
//
// Test hooks (process-wide; meant for single-threaded failure-path tests):
//  - EngineFailAllocation(n): the n-th allocation from now (1 = the next) returns null;
//    0 clears;
//  - EngineMisalignNextBlock(): the next block returned starts one byte past a 16-byte
//    boundary (for alignment checks of byte buffers; do not construct objects in it).
#pragma once

#include <cstddef>
#include <cstdint>
#include <new>
#include <utility>

// A block of at least size bytes (16-byte aligned unless misaligned by the hook), or null.
void* EngineAllocate(std::size_t size);
// Frees a block of EngineAllocate; null does nothing.
void EngineFree(void* block);

// ---- test hooks ----
void EngineFailAllocation(std::uint32_t n);
void EngineMisalignNextBlock();
void EngineResetAllocatorHooks();
// Allocations asked for (made or failed) since the process started.
std::uint64_t EngineAllocationCount();
// Blocks allocated and not yet freed.
std::int64_t EngineLiveBlocks();

// Allocates and constructs a T; null when the allocation failed. T's constructor must not
// throw (engine objects report constructor failures through a status or a flag).
template <class T, class... Args>
T* EngineNew(Args&&... args) {
    void* block = EngineAllocate(sizeof(T));
    if (block == nullptr) {
        return nullptr;
    }
    return new (block) T(std::forward<Args>(args)...);
}

// Destroys and frees an object of EngineNew; null does nothing.
template <class T>
void EngineDelete(T* object) {
    if (object == nullptr) {
        return;
    }
    object->~T();
    EngineFree(object);
}
