// The interrupt lock is a recursive pthread mutex with a per-thread depth. Deliveries run on
// the thread that releases its outermost hold, with the lock taken again for them, so an ISR
// never runs inside a critical section of the thread it interrupts.
#include "platform/irq/Interrupt.h"

#include <pthread.h>

namespace irq {

namespace {

struct VectorState {
    Interrupt* object = nullptr;
    bool masked = true;
    bool pending = false;
};

pthread_mutex_t& LockMutex() {
    static pthread_mutex_t mutex = PTHREAD_RECURSIVE_MUTEX_INITIALIZER_NP;
    return mutex;
}

// Guarded by the interrupt lock.
VectorState vectors[kVectorCount];
bool delivering = false;

thread_local int depth = 0;

bool Deliverable(vector_t vector) {
    const VectorState& state = vectors[vector];
    return state.pending && !state.masked && state.object != nullptr;
}

// Picks the deliverable vector of the lowest priority number (then the lowest vector).
bool NextDeliverable(vector_t* chosen) {
    bool found = false;
    for (vector_t vector = 0; vector < kVectorCount; ++vector) {
        if (!Deliverable(vector)) {
            continue;
        }
        if (!found || vectors[vector].object->priority < vectors[*chosen].object->priority) {
            *chosen = vector;
            found = true;
        }
    }
    return found;
}

// With the lock held at depth 1 by this thread.
void DeliverPending() {
    if (delivering) {
        return;
    }
    delivering = true;
    vector_t vector = 0;
    while (NextDeliverable(&vector)) {
        VectorState& state = vectors[vector];
        state.pending = false;
        Interrupt* object = state.object;
        const std::uint32_t result = object->isr != nullptr ? object->isr(vector, object->data) : 0;
        if ((result & ISR_CALL_DSR) != 0 && object->dsr != nullptr) {
            object->dsr(vector, 1, object->data);
        }
    }
    delivering = false;
}

}  // namespace

void disable_interrupts() {
    pthread_mutex_lock(&LockMutex());
    ++depth;
}

void enable_interrupts() {
    if (depth == 1) {
        DeliverPending();
    }
    --depth;
    pthread_mutex_unlock(&LockMutex());
}

void interrupt_create(vector_t vector, int priority, data_t data, isr_t isr, dsr_t dsr,
                      Interrupt* object) {
    object->vector = vector;
    object->priority = priority;
    object->isr = isr;
    object->dsr = dsr;
    object->data = data;
    object->attached = false;
}

bool interrupt_attach(Interrupt* object) {
    InterruptsDisabled lock;
    if (object->vector >= kVectorCount || object->attached ||
        vectors[object->vector].object != nullptr) {
        return false;
    }
    vectors[object->vector].object = object;
    object->attached = true;
    return true;
}

void interrupt_detach(Interrupt* object) {
    InterruptsDisabled lock;
    if (!object->attached) {
        return;
    }
    if (object->vector < kVectorCount && vectors[object->vector].object == object) {
        vectors[object->vector].object = nullptr;
    }
    object->attached = false;
}

void interrupt_delete(Interrupt* object) { interrupt_detach(object); }

void interrupt_mask(vector_t vector) {
    if (vector >= kVectorCount) {
        return;
    }
    InterruptsDisabled lock;
    vectors[vector].masked = true;
}

void interrupt_unmask(vector_t vector) {
    if (vector >= kVectorCount) {
        return;
    }
    InterruptsDisabled lock;
    vectors[vector].masked = false;
}

void interrupt_acknowledge(vector_t vector) {
    if (vector >= kVectorCount) {
        return;
    }
    InterruptsDisabled lock;
    vectors[vector].pending = false;
}

bool interrupt_masked(vector_t vector) {
    if (vector >= kVectorCount) {
        return true;
    }
    InterruptsDisabled lock;
    return vectors[vector].masked;
}

bool interrupt_pending(vector_t vector) {
    if (vector >= kVectorCount) {
        return false;
    }
    InterruptsDisabled lock;
    return vectors[vector].pending;
}

void raise(vector_t vector) {
    if (vector >= kVectorCount) {
        return;
    }
    InterruptsDisabled lock;
    vectors[vector].pending = true;
}

}  // namespace irq
