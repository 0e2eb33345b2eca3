// Engine mutex: an error-checking pthread mutex. A relock by the owner reports 5 instead of
// hanging.
#pragma once

#include <pthread.h>

#include <cstdint>

class COSMutex {
public:
    COSMutex();
    ~COSMutex();
    COSMutex(const COSMutex&) = delete;
    COSMutex& operator=(const COSMutex&) = delete;

    // 1 when the mutex could not be initialised (then Lock reports 5).
    std::uint8_t InitFailed() const { return initFailed; }

    // Locks; status 0, or 5 when the caller already owns it or the mutex is unusable.
    void Lock(std::uint32_t* status);
    // Unlocks; an unlock by a thread that does not own the mutex does nothing.
    void Unlock();

    // The underlying mutex, for a condition variable bound to it.
    pthread_mutex_t* NativeHandle() { return &mutex; }

private:
    std::uint8_t initFailed;
    pthread_mutex_t mutex;
};
