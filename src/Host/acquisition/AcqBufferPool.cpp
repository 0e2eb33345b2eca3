#include "Host/acquisition/AcqBufferPool.h"

namespace Korvex {

namespace {

// Scoped hold of the pool mutex; Locked() is false when the wait was broken.
class CPoolHold {
public:
    explicit CPoolHold(kernel::Mutex& m) : mutex(m), locked(kernel::mutex_lock(&m)) {}
    ~CPoolHold() {
        if (locked) kernel::mutex_unlock(&mutex);
    }
    CPoolHold(const CPoolHold&) = delete;
    CPoolHold& operator=(const CPoolHold&) = delete;
    bool Locked() const { return locked; }

private:
    kernel::Mutex& mutex;
    bool locked;
};

template <typename T>
void AllocateIfAbsent(T*& array, std::uint32_t count) {
    if (array == nullptr) array = new T[count]();
}

template <typename T>
void FreeArray(T*& array) {
    delete[] array;
    array = nullptr;
}

}  // namespace

void AcqBuffer::AllocateArrays(std::uint32_t count) {
    if (flux == nullptr) capacity = count;
    AllocateIfAbsent(flux, count);
    AllocateIfAbsent(secondValue, count);
    AllocateIfAbsent(sigma, count);
    AllocateIfAbsent(uniformity, count);
    AllocateIfAbsent(timestamp, count);
    AllocateIfAbsent(channel, count);
    AllocateIfAbsent(fluxUnit, count);
    AllocateIfAbsent(status, count);
}

void AcqBuffer::FreeArrays() {
    FreeArray(flux);
    FreeArray(secondValue);
    FreeArray(sigma);
    FreeArray(uniformity);
    FreeArray(timestamp);
    FreeArray(channel);
    FreeArray(fluxUnit);
    FreeArray(status);
}

CAcqBufferPool::CAcqBufferPool(std::uint32_t n)
    : filling(nullptr),
      full(nullptr),
      reading(nullptr),
      setAside(nullptr),
      producerWaiting(false),
      readerWaiting(false) {
    kernel::mutex_init(&poolMutex);
    kernel::semaphore_init(&producerSemaphore, 0);
    kernel::semaphore_init(&readerSemaphore, 0);
    for (std::uint32_t i = 0; i < n; ++i) {
        AcqBuffer* buffer = new AcqBuffer;
        buffers.push_back(buffer);
        freeQueue.push_back(buffer);
    }
}

CAcqBufferPool::~CAcqBufferPool() {
    for (AcqBuffer* buffer : buffers) delete buffer;  // the destructor frees the arrays
    kernel::semaphore_destroy(&readerSemaphore);
    kernel::semaphore_destroy(&producerSemaphore);
    kernel::mutex_destroy(&poolMutex);
}

void CAcqBufferPool::AllocateBuffers(std::uint32_t count) {
    CPoolHold hold(poolMutex);
    if (!hold.Locked()) return;
    for (AcqBuffer* buffer : buffers) buffer->AllocateArrays(count);
}

AcqBuffer* CAcqBufferPool::TakeBuffer(std::uint32_t side) {
    CPoolHold hold(poolMutex);
    if (!hold.Locked()) return nullptr;
    if (side == eAcqReaderSide) ReaderCalled();
    return TakeLocked(side);
}

AcqBuffer* CAcqBufferPool::WaitBuffer(std::uint32_t side, std::int32_t timeoutMs, bool (*stillWanted)()) {
    if (!kernel::mutex_lock(&poolMutex)) return nullptr;
    if (side == eAcqReaderSide) ReaderCalled();
    AcqBuffer* buffer = TakeLocked(side);
    if (buffer != nullptr || side > eAcqReaderSide || (stillWanted != nullptr && !stillWanted())) {
        kernel::mutex_unlock(&poolMutex);
        return buffer;
    }
    bool& waiting = side == eAcqProducerSide ? producerWaiting : readerWaiting;
    kernel::Semaphore& semaphore =
        side == eAcqProducerSide ? producerSemaphore : readerSemaphore;
    waiting = true;
    kernel::mutex_unlock(&poolMutex);
    // A post between the unlock and the wait stays counted and ends the wait at once.
    bool woken = timeoutMs < 0
                     ? kernel::semaphore_wait(&semaphore)
                     : kernel::semaphore_timed_wait(
                           &semaphore, kernel::current_time() +
                                           kernel::ms_to_ticks(static_cast<std::uint32_t>(timeoutMs)));
    while (!kernel::mutex_lock(&poolMutex)) {
    }
    if (!woken) {
        // The wait was broken or timed out: withdraw from waiting, or consume the post already made for
        // us, so that no stale count ends a later wait early.
        if (waiting) {
            waiting = false;
        } else {
            kernel::semaphore_trywait(&semaphore);
        }
    }
    buffer = TakeLocked(side);
    kernel::mutex_unlock(&poolMutex);
    return buffer;
}

AcqBuffer* CAcqBufferPool::ReleaseAndTake(AcqBuffer* buffer, std::uint32_t side) {
    CPoolHold hold(poolMutex);
    if (!hold.Locked()) return nullptr;
    if (side == eAcqReaderSide) ReaderCalled();
    ReturnLocked(buffer);
    return TakeLocked(side);
}

void CAcqBufferPool::ReleaseAndSignal(AcqBuffer* buffer) {
    CPoolHold hold(poolMutex);
    if (!hold.Locked()) return;
    ReturnLocked(buffer);
}

AcqBuffer* CAcqBufferPool::GetCurrentBuffer(std::uint32_t side) {
    CPoolHold hold(poolMutex);
    if (!hold.Locked()) return nullptr;
    switch (side) {
        case eAcqProducerSide:
            return filling;
        case eAcqReaderSide:
            ReaderCalled();
            return reading;
        default:
            return nullptr;
    }
}

void CAcqBufferPool::Reset() {
    CPoolHold hold(poolMutex);
    if (hold.Locked()) ResetLocked(false);
}

void CAcqBufferPool::ResetKeepingFilling() {
    CPoolHold hold(poolMutex);
    if (hold.Locked()) ResetLocked(true);
}

void CAcqBufferPool::ResetLocked(bool keepFilling) {
    AcqBuffer* const kept = keepFilling ? filling : nullptr;
    freeQueue.clear();
    filling = kept;
    full = nullptr;
    // The reader may still be reading its buffer: keep it out of the producer's reach until
    // the reader comes back.
    if (reading != nullptr) setAside = reading;
    reading = nullptr;
    for (AcqBuffer* buffer : buffers) {
        if (buffer == kept) continue;
        buffer->state = eAcqBufferFree;
        if (buffer != setAside) freeQueue.push_back(buffer);
    }
    Wake(eAcqProducerSide);
    Wake(eAcqReaderSide);
}

void CAcqBufferPool::WakeReader() {
    CPoolHold hold(poolMutex);
    if (hold.Locked()) Wake(eAcqReaderSide);
}

AcqBuffer* CAcqBufferPool::TakeLocked(std::uint32_t side) {
    if (side == eAcqProducerSide) {
        // A second take while a buffer is held hands that buffer back: none gets lost.
        if (filling != nullptr) return filling;
        if (freeQueue.empty()) return nullptr;
        AcqBuffer* buffer = freeQueue.front();
        freeQueue.pop_front();
        buffer->state = eAcqBufferFilling;
        filling = buffer;
        return buffer;
    }
    if (side == eAcqReaderSide) {
        if (reading != nullptr) return reading;
        if (full == nullptr) return nullptr;
        full->state = eAcqBufferReading;
        reading = full;
        full = nullptr;
        return reading;
    }
    return nullptr;
}

void CAcqBufferPool::ReturnLocked(AcqBuffer* buffer) {
    if (buffer == nullptr) return;
    switch (buffer->state) {
        case eAcqBufferFilling:
            filling = nullptr;
            if (full != nullptr) {  // never read: overtaken by the newer buffer
                full->state = eAcqBufferFree;
                freeQueue.push_back(full);
            }
            buffer->state = eAcqBufferFull;
            full = buffer;
            Wake(eAcqReaderSide);
            break;
        case eAcqBufferReading:
            reading = nullptr;
            if (full != nullptr) {
                buffer->state = eAcqBufferFree;
                freeQueue.push_back(buffer);
                Wake(eAcqProducerSide);
            } else {  // nothing newer: the same results can be read again
                buffer->state = eAcqBufferFull;
                full = buffer;
                Wake(eAcqReaderSide);
            }
            break;
        case eAcqBufferFree:
            Wake(eAcqProducerSide);
            break;
        case eAcqBufferFull:
            Wake(eAcqReaderSide);
            break;
        default:
            break;
    }
}

void CAcqBufferPool::Wake(std::uint32_t side) {
    bool& waiting = side == eAcqProducerSide ? producerWaiting : readerWaiting;
    if (!waiting) return;
    waiting = false;
    kernel::semaphore_post(side == eAcqProducerSide ? &producerSemaphore : &readerSemaphore);
    kernel::thread_yield();
}

// A call for side 1 comes from the reader between two reads, so the buffer a reset set
// aside is no longer in use.
void CAcqBufferPool::ReaderCalled() {
    if (setAside == nullptr) return;
    freeQueue.push_back(setAside);
    setAside = nullptr;
}

}  // namespace Korvex
