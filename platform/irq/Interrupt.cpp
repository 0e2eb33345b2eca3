// One controller mutex guards every piece of state here, the owners and depths of the two
// locks included; the interrupt-disable lock and the DSR lock are logical locks built on it
// (owner and depth), so the interrupt thread can see whether they are free. ISRs and DSRs run
// without the controller mutex, which is only ever held briefly and never while calling out:
// models may call raise/set_level with their own locks held.
#include "platform/irq/Interrupt.h"

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "platform/soc/SocBus.h"

namespace irq {

namespace {

using ThreadId = std::thread::id;

struct VectorState {
    Interrupt* object = nullptr;
    bool masked = true;
    bool latched = false;
    bool level = false;
    std::uint32_t dsrOwed = 0;  // DSR requests not yet run
    std::uint64_t isrRuns = 0;
};

struct Controller {
    std::mutex m;
    std::condition_variable changed;
    VectorState vectors[kVectorCount];
    ThreadId irqThread;
    ThreadId intOwner;
    int intDepth = 0;
    ThreadId dsrOwner;
    int dsrDepth = 0;
    const Interrupt* running = nullptr;  // the object whose ISR or DSR runs
    std::uint32_t intmod = 0;
    std::uint32_t priority = 0x7F;
    std::uint32_t intpnd = 0;
    std::uint32_t subsrcpnd = 0;
    std::uint32_t intsubmsk = 0x7FF;

    bool Pending(vector_t v) const { return vectors[v].latched || vectors[v].level; }
    bool Deliverable(vector_t v) const {
        return Pending(v) && !vectors[v].masked && vectors[v].object != nullptr;
    }
    bool IntFree() const { return intOwner == ThreadId(); }
    bool DsrFree() const { return dsrOwner == ThreadId(); }

    // The deliverable vector of the lowest priority number, then the lowest vector.
    bool NextIsr(vector_t* chosen) const {
        bool found = false;
        for (vector_t v = 0; v < kVectorCount; ++v) {
            if (!Deliverable(v)) continue;
            if (!found || vectors[v].object->priority < vectors[*chosen].object->priority) {
                *chosen = v;
                found = true;
            }
        }
        return found;
    }
    bool NextDsr(vector_t* chosen) const {
        for (vector_t v = 0; v < kVectorCount; ++v) {
            if (vectors[v].dsrOwed > 0 && vectors[v].object != nullptr) {
                *chosen = v;
                return true;
            }
        }
        return false;
    }

    void Run();
    void Settle(std::unique_lock<std::mutex>& lk);
};

Controller& C() {
    static Controller* c = [] {
        auto* made = new Controller;
        std::thread(&Controller::Run, made).detach();
        return made;
    }();
    return *c;
}

// The interrupt thread.
void Controller::Run() {
    std::unique_lock<std::mutex> lk(m);
    irqThread = std::this_thread::get_id();
    changed.notify_all();
    for (;;) {
        vector_t v = 0;
        if (IntFree() && NextIsr(&v)) {
            VectorState& state = vectors[v];
            Interrupt* object = state.object;
            state.latched = false;
            if (v < 32) intpnd = std::uint32_t{1} << v;
            intOwner = std::this_thread::get_id();
            intDepth = 1;
            running = object;
            lk.unlock();
            const std::uint32_t result = object->isr ? object->isr(v, object->data) : 0;
            lk.lock();
            intOwner = ThreadId();
            intDepth = 0;
            running = nullptr;
            ++state.isrRuns;
            if ((result & ISR_CALL_DSR) != 0 && object->dsr != nullptr && state.object == object)
                ++state.dsrOwed;
            changed.notify_all();
            continue;
        }
        if (DsrFree() && NextDsr(&v)) {
            VectorState& state = vectors[v];
            Interrupt* object = state.object;
            const std::uint32_t count = state.dsrOwed;
            state.dsrOwed = 0;
            dsrOwner = std::this_thread::get_id();
            dsrDepth = 1;
            running = object;
            lk.unlock();
            object->dsr(v, count, object->data);
            lk.lock();
            dsrOwner = ThreadId();
            dsrDepth = 0;
            running = nullptr;
            changed.notify_all();
            continue;
        }
        changed.wait(lk);
    }
}

bool AnyDsrOwed(const Controller& c) {
    vector_t v = 0;
    return c.NextDsr(&v);
}

// Waits while something is due or running: an ISR, or (when the caller does not hold the DSR
// lock) a DSR. A lock another thread holds is only ever held briefly, so the wait also covers the
// time until it is released.
void Controller::Settle(std::unique_lock<std::mutex>& lk) {
    const ThreadId self = std::this_thread::get_id();
    if (self == irqThread || intOwner == self) return;
    const bool holdsDsr = dsrOwner == self;
    for (;;) {
        vector_t v = 0;
        // An ISR or DSR that has begun counts until it has returned.
        const bool isrDue = NextIsr(&v) || (irqThread != ThreadId() && intOwner == irqThread);
        const bool dsrDue =
            !holdsDsr && (AnyDsrOwed(*this) || (irqThread != ThreadId() && dsrOwner == irqThread));
        if (!isrDue && !dsrDue) return;
        changed.wait(lk);
    }
}

bool Valid(vector_t vector) { return vector < kVectorCount; }

class Registers : public platform::soc::RegisterModel {
public:
    std::uint32_t read(platform::soc::addr_t address, unsigned /*width*/) override {
        Controller& c = C();
        std::lock_guard<std::mutex> g(c.m);
        switch (address) {
            case SRCPND: {
                std::uint32_t bits = 0;
                for (vector_t v = 0; v < 32; ++v)
                    if (c.Pending(v)) bits |= std::uint32_t{1} << v;
                return bits;
            }
            case INTMOD:
                return c.intmod;
            case INTMSK: {
                std::uint32_t bits = 0;
                for (vector_t v = 0; v < 32; ++v)
                    if (c.vectors[v].masked) bits |= std::uint32_t{1} << v;
                return bits;
            }
            case PRIORITY:
                return c.priority;
            case INTPND:
                return c.intpnd;
            case INTOFFSET:
                for (vector_t v = 0; v < 32; ++v)
                    if (c.intpnd & (std::uint32_t{1} << v)) return v;
                return 0;
            case SUBSRCPND:
                return c.subsrcpnd;
            case INTSUBMSK:
                return c.intsubmsk;
            default:
                return 0;
        }
    }

    void write(platform::soc::addr_t address, std::uint32_t value, unsigned /*width*/) override {
        Controller& c = C();
        std::unique_lock<std::mutex> lk(c.m);
        switch (address) {
            case SRCPND:
                for (vector_t v = 0; v < 32; ++v)
                    if (value & (std::uint32_t{1} << v)) c.vectors[v].latched = false;
                break;
            case INTMOD:
                c.intmod = value;
                break;
            case INTMSK:
                for (vector_t v = 0; v < 32; ++v)
                    c.vectors[v].masked = (value & (std::uint32_t{1} << v)) != 0;
                break;
            case PRIORITY:
                c.priority = value;
                break;
            case INTPND:
                c.intpnd &= ~value;
                break;
            case SUBSRCPND:
                c.subsrcpnd &= ~value;
                break;
            case INTSUBMSK:
                c.intsubmsk = value;
                break;
            default:
                break;
        }
        c.changed.notify_all();
        c.Settle(lk);
    }
};

}  // namespace

platform::soc::RegisterModel& register_model() {
    static Registers* registers = new Registers;
    return *registers;
}

void disable_interrupts() {
    Controller& c = C();
    std::unique_lock<std::mutex> lk(c.m);
    const ThreadId self = std::this_thread::get_id();
    if (c.intOwner != self) {
        c.changed.wait(lk, [&c] { return c.IntFree(); });
        c.intOwner = self;
    }
    ++c.intDepth;
}

void enable_interrupts() {
    Controller& c = C();
    std::unique_lock<std::mutex> lk(c.m);
    if (c.intOwner != std::this_thread::get_id() || c.intDepth == 0) return;
    if (--c.intDepth > 0) return;
    c.intOwner = ThreadId();
    c.changed.notify_all();
    c.Settle(lk);
}

bool interrupts_disabled_by_caller() {
    Controller& c = C();
    std::lock_guard<std::mutex> g(c.m);
    return c.intOwner == std::this_thread::get_id() && c.intDepth > 0;
}

void dsr_lock() {
    Controller& c = C();
    std::unique_lock<std::mutex> lk(c.m);
    const ThreadId self = std::this_thread::get_id();
    if (c.dsrOwner != self) {
        c.changed.wait(lk, [&c] { return c.DsrFree(); });
        c.dsrOwner = self;
    }
    ++c.dsrDepth;
}

void dsr_unlock() {
    Controller& c = C();
    std::unique_lock<std::mutex> lk(c.m);
    if (c.dsrOwner != std::this_thread::get_id() || c.dsrDepth == 0) return;
    if (--c.dsrDepth > 0) return;
    c.dsrOwner = ThreadId();
    c.changed.notify_all();
    c.Settle(lk);
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
    Controller& c = C();
    std::unique_lock<std::mutex> lk(c.m);
    if (!Valid(object->vector) || object->attached || c.vectors[object->vector].object != nullptr)
        return false;
    c.vectors[object->vector].object = object;
    object->attached = true;
    c.changed.notify_all();
    c.Settle(lk);
    return true;
}

void interrupt_detach(Interrupt* object) {
    Controller& c = C();
    std::unique_lock<std::mutex> lk(c.m);
    if (!object->attached) return;
    if (Valid(object->vector) && c.vectors[object->vector].object == object) {
        c.vectors[object->vector].object = nullptr;
        c.vectors[object->vector].dsrOwed = 0;
    }
    object->attached = false;
    if (std::this_thread::get_id() != c.irqThread)
        c.changed.wait(lk, [&c, object] { return c.running != object; });
}

void interrupt_delete(Interrupt* object) { interrupt_detach(object); }

void interrupt_mask(vector_t vector) {
    if (!Valid(vector)) return;
    Controller& c = C();
    std::lock_guard<std::mutex> g(c.m);
    c.vectors[vector].masked = true;
}

void interrupt_unmask(vector_t vector) {
    if (!Valid(vector)) return;
    Controller& c = C();
    std::unique_lock<std::mutex> lk(c.m);
    c.vectors[vector].masked = false;
    c.changed.notify_all();
    c.Settle(lk);
}

void interrupt_acknowledge(vector_t vector) {
    if (!Valid(vector)) return;
    Controller& c = C();
    std::lock_guard<std::mutex> g(c.m);
    c.vectors[vector].latched = false;
    if (vector < 32) c.intpnd &= ~(std::uint32_t{1} << vector);
}

bool interrupt_masked(vector_t vector) {
    if (!Valid(vector)) return true;
    Controller& c = C();
    std::lock_guard<std::mutex> g(c.m);
    return c.vectors[vector].masked;
}

bool interrupt_pending(vector_t vector) {
    if (!Valid(vector)) return false;
    Controller& c = C();
    std::lock_guard<std::mutex> g(c.m);
    return c.Pending(vector);
}

void raise(vector_t vector) {
    if (!Valid(vector)) return;
    Controller& c = C();
    std::lock_guard<std::mutex> g(c.m);
    c.vectors[vector].latched = true;
    c.changed.notify_all();
}

void set_level(vector_t vector, bool asserted) {
    if (!Valid(vector)) return;
    Controller& c = C();
    std::lock_guard<std::mutex> g(c.m);
    VectorState& state = c.vectors[vector];
    if (asserted && !state.level) state.latched = true;
    state.level = asserted;
    c.changed.notify_all();
}

bool level(vector_t vector) {
    if (!Valid(vector)) return false;
    Controller& c = C();
    std::lock_guard<std::mutex> g(c.m);
    return c.vectors[vector].level;
}

void cond_init(Cond* cond, kernel::Mutex* mutex) {
    Controller& c = C();
    std::lock_guard<std::mutex> g(c.m);
    cond->mutex = mutex;
    cond->signals = 0;
}

namespace {

// Releases the DSR lock (and the bound mutex), waits for a signal or the deadline, takes
// both again: the mutex first, as the driver took them.
bool Wait(Cond* cond, bool timed, kernel::tick_t abstime) {
    Controller& c = C();
    std::unique_lock<std::mutex> lk(c.m);
    const ThreadId self = std::this_thread::get_id();
    const std::uint64_t seen = cond->signals;
    const int depth = c.dsrOwner == self ? c.dsrDepth : 0;
    if (depth > 0) {
        c.dsrOwner = ThreadId();
        c.dsrDepth = 0;
        c.changed.notify_all();
    }
    if (cond->mutex != nullptr) kernel::mutex_unlock(cond->mutex);
    bool signalled = true;
    while (cond->signals == seen) {
        if (!timed) {
            c.changed.wait(lk);
            continue;
        }
        const kernel::tick_t now = kernel::current_time();
        if (now >= abstime) {
            // On the board an interrupt raised before the deadline is taken before it: the
            // ISRs and DSRs already due run before the wait may count as timed out, however
            // late the host schedules the interrupt thread.
            c.Settle(lk);
            signalled = cond->signals != seen;
            break;
        }
        const double ms = static_cast<double>(abstime - now) * kernel::tick_ms();
        c.changed.wait_for(lk, std::chrono::duration<double, std::milli>(ms));
    }
    if (cond->mutex != nullptr) {
        lk.unlock();
        while (!kernel::mutex_lock(cond->mutex)) {
        }
        lk.lock();
    }
    if (depth > 0) {
        c.changed.wait(lk, [&c] { return c.DsrFree(); });
        c.dsrOwner = self;
        c.dsrDepth = depth;
    }
    return signalled;
}

}  // namespace

void cond_wait(Cond* cond) { Wait(cond, false, 0); }

bool cond_timed_wait(Cond* cond, kernel::tick_t abstime) { return Wait(cond, true, abstime); }

void cond_signal(Cond* cond) { cond_broadcast(cond); }

void cond_broadcast(Cond* cond) {
    Controller& c = C();
    std::lock_guard<std::mutex> g(c.m);
    ++cond->signals;
    c.changed.notify_all();
}

bool on_interrupt_thread() {
    Controller& c = C();
    std::lock_guard<std::mutex> g(c.m);
    return std::this_thread::get_id() == c.irqThread;
}

void settle() {
    Controller& c = C();
    std::unique_lock<std::mutex> lk(c.m);
    c.Settle(lk);
}

std::uint64_t isr_runs(vector_t vector) {
    if (!Valid(vector)) return 0;
    Controller& c = C();
    std::lock_guard<std::mutex> g(c.m);
    return c.vectors[vector].isrRuns;
}

}  // namespace irq
