// Triple buffering of the per-measurement results between the acquisition thread (the
// producer, side 0) and the SCPI parser thread (the reader, side 1). The producer fills one
// buffer while the reader reads another; the newest complete buffer waits in between.
//
// Every buffer is in exactly one place: the free queue (state free), one of the filling,
// full and reading slots (with that slot's state), or set aside by a reset while the reader
// still held it (state free; it rejoins the free queue at the reader's next call for side 1,
// so the producer never writes into a buffer that is still being read).
#pragma once

#include <cstdint>
#include <deque>
#include <vector>

#include "Host/scpi/exec/KorvexChannel.h"
#include "platform/kernel/Kernel.h"

namespace Korvex {

enum eAcqBufferState : std::uint32_t {
    eAcqBufferFree = 0,
    eAcqBufferFilling = 1,
    eAcqBufferFull = 2,
    eAcqBufferReading = 3,
};

enum eAcqBufferSide : std::uint32_t {
    eAcqProducerSide = 0,
    eAcqReaderSide = 1,
};

// One block of results, owned by the pool. The arrays are absent (null) until
// AllocateArrays; every array has capacity entries.
struct AcqBuffer {
    AcqBuffer() = default;
    ~AcqBuffer() { FreeArrays(); }
    AcqBuffer(const AcqBuffer&) = delete;
    AcqBuffer& operator=(const AcqBuffer&) = delete;

    // Sets the capacity when the flux array is absent, then allocates each absent array
    // with count entries. Arrays already present stay as they are, whatever their size.
    void AllocateArrays(std::uint32_t count);
    void FreeArrays();

    std::uint32_t capacity = 0;
    double* flux = nullptr;              // in the unit of fluxUnit
    double* secondValue = nullptr;
    float* sigma = nullptr;
    float* uniformity = nullptr;
    std::uint64_t* timestamp = nullptr;
    CKorvexChannel* channel = nullptr;   // each constructed with count 0
    std::uint32_t* fluxUnit = nullptr;   // row of the units table
    std::uint8_t* status = nullptr;
    std::uint32_t state = eAcqBufferFree;  // changed only under the pool mutex
    std::uint32_t entries = 0;             // valid entries; rewritten by the producer
};

class CAcqBufferPool {
public:
    // n buffers without arrays, all free, in creation order.
    explicit CAcqBufferPool(std::uint32_t n);
    // Deletes every buffer with its arrays.
    ~CAcqBufferPool();
    CAcqBufferPool(const CAcqBufferPool&) = delete;
    CAcqBufferPool& operator=(const CAcqBufferPool&) = delete;

    // AcqBuffer::AllocateArrays on every buffer.
    void AllocateBuffers(std::uint32_t count);

    // Takes a buffer for the side without waiting; null when none is available.
    AcqBuffer* TakeBuffer(std::uint32_t side);
    // Takes a buffer; when none is available waits until the other side, a reset or
    // WakeReader wakes this side, or the time-out (ms; negative: none) passes, then tries
    // once more and returns that result (null possible). stillWanted, when given, is asked
    // under the pool mutex before the wait: false returns null at once. Whatever makes it
    // false and then calls WakeReader cannot be missed by the wait.
    AcqBuffer* WaitBuffer(std::uint32_t side, std::int32_t timeoutMs = -1,
                          bool (*stillWanted)() = nullptr);
    // Returns the buffer, then takes for the side, under one hold of the mutex.
    AcqBuffer* ReleaseAndTake(AcqBuffer* buffer, std::uint32_t side);
    // Returns the buffer (null does nothing).
    void ReleaseAndSignal(AcqBuffer* buffer);
    // Side 0: the filling slot; side 1: the reading slot; any other side: null.
    AcqBuffer* GetCurrentBuffer(std::uint32_t side);
    // Every buffer back to free; wakes a waiting producer, then a waiting reader.
    void Reset();
    // As Reset, but the buffer the producer fills stays its own, with what it holds: a
    // measurement under way loses none of its entries.
    void ResetKeepingFilling();
    // Wakes a waiting reader; it takes once more.
    void WakeReader();

private:
    // The pool mutex is held by the callers of these.
    AcqBuffer* TakeLocked(std::uint32_t side);
    void ReturnLocked(AcqBuffer* buffer);
    void Wake(std::uint32_t side);
    void ReaderCalled();
    void ResetLocked(bool keepFilling);

    kernel::Mutex poolMutex;
    std::vector<AcqBuffer*> buffers;  // owned, in creation order
    std::deque<AcqBuffer*> freeQueue;
    AcqBuffer* filling;
    AcqBuffer* full;
    AcqBuffer* reading;
    AcqBuffer* setAside;  // the reader's buffer at the last reset, until the reader is done
    kernel::Semaphore producerSemaphore;
    kernel::Semaphore readerSemaphore;
    bool producerWaiting;
    bool readerWaiting;
};

}  // namespace Korvex
