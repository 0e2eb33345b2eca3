#include "engine/os/OSMutex.h"

COSMutex::COSMutex() : initFailed(1), mutex() {
    pthread_mutexattr_t attributes;
    if (pthread_mutexattr_init(&attributes) != 0) {
        return;
    }
    if (pthread_mutexattr_settype(&attributes, PTHREAD_MUTEX_ERRORCHECK) == 0 &&
        pthread_mutex_init(&mutex, &attributes) == 0) {
        initFailed = 0;
    }
    pthread_mutexattr_destroy(&attributes);
}

COSMutex::~COSMutex() {
    if (initFailed == 0) {
        pthread_mutex_destroy(&mutex);
    }
}

void COSMutex::Lock(std::uint32_t* status) {
    if (initFailed != 0 || pthread_mutex_lock(&mutex) != 0) {
        *status = 5;
        return;
    }
    *status = 0;
}

void COSMutex::Unlock() {
    if (initFailed == 0) {
        pthread_mutex_unlock(&mutex);
    }
}
