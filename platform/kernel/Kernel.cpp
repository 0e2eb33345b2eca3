// Kernel layer of the simulated board over host threads.
//
// One internal lock guards every kernel object and thread record; every thread record has
// its own wake semaphore on which that thread sleeps, outside the lock. A thread that blocks
// is queued on the object it waits for; whoever satisfies the wait (unlock, post, setbits,
// signal) hands the result over under the internal lock and wakes that one thread, so a
// woken thread never looks at the object again. The wake itself is sent once the internal
// lock is released (the woken thread needs it first thing), or before the waker blocks
// itself. thread_release() and thread_delete() take a waiter off its queue the same way,
// which is what makes destroying an object after killing its waiters safe.
#include "platform/kernel/Kernel.h"
#include "platform/kernel/WakeSemaphore.h"

#include <pthread.h>

#include <algorithm>
#include <atomic>
#include <cassert>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

namespace kernel {

namespace {

using Clock = std::chrono::steady_clock;
using Lock = std::unique_lock<std::mutex>;

constexpr std::size_t MinHostStack = 1024 * 1024;

struct ThreadRecord;

enum class Kind { Mutex, Semaphore, Flag, Cond, Scheduler };

}  // namespace

struct Object {
    explicit Object(Kind k) : kind(k) {}
    Kind kind;
    std::vector<ThreadRecord*> waiters;  // oldest first
    std::atomic<handle_t> owner{0};      // mutex, scheduler lock (changed under the lock)
    std::atomic<int> spinners{0};        // mutex: threads looking at owner without the lock
    std::uint32_t count = 0;             // semaphore count, flag value, scheduler nesting
    Object* mutex = nullptr;             // condition variable: its mutex
};

namespace {

// What a blocked thread waits for and, once done, how the wait ended.
struct WaitState {
    bool active = false;
    bool releasable = false;
    Object* object = nullptr;  // nullptr: a delay
    bool done = false;
    bool ok = false;
    std::uint32_t pattern = 0;  // flag waits
    std::uint8_t mode = 0;
    std::uint32_t value = 0;    // flag value that satisfied the wait
};

struct ThreadRecord {
    handle_t handle = 0;
    int priority = 0;
    int suspendCount = 0;
    bool foreign = false;  // a host thread the kernel did not create
    bool started = false;
    bool exited = false;
    bool killed = false;
    bool releasePending = false;
    std::size_t stackSize = 0;
    std::string name;
    thread_entry_t entry = nullptr;
    addrword_t data = 0;
    pthread_t host{};
    WakeSemaphore wake;
    bool sleeping = false;  // between sleep()'s unlock and its lock again
    WaitState wait;
    std::atomic<int> wakesInFlight{0};  // wakes owed to this record, sent after the unlock
};

// Thrown by thread_exit and caught only by the trampoline of a kernel-created thread.
struct ThreadExitUnwind {};

struct State {
    std::mutex lock;
    std::unordered_map<handle_t, ThreadRecord*> threads;
    std::vector<ThreadRecord*> killed;  // parked for ever; kept so they are never freed
    handle_t nextHandle = 1;
    Object scheduler{Kind::Scheduler};

    std::mutex clockLock;
    double msPerTick = 10.0;
    tick_t baseTick = 0;
    Clock::time_point baseClock = Clock::now();
};

// Built on first use and never destroyed: static constructors and threads still running at
// exit use the kernel.
State& state() {
    static State* s = new State;
    return *s;
}

thread_local ThreadRecord* tlsSelf = nullptr;

// The wakes this thread owes, made under the internal lock and sent after it is released
// (plain thread-locals: they are touched by every kernel call). Past the array, a wake is
// sent at once, under the lock.
constexpr int MaxOwedWakes = 16;
thread_local ThreadRecord* tlsWakes[MaxOwedWakes];
thread_local int tlsWakeCount = 0;

// Sleeps until woken (or until the deadline): the internal lock is held on entry and on
// return; the caller looks at its state again afterwards.
void sleep(Lock& lk, ThreadRecord* self, const Clock::time_point* until = nullptr) {
    self->sleeping = true;
    lk.unlock();
    if (until == nullptr) {
        self->wake.Wait();
    } else {
        self->wake.WaitFor(*until - Clock::now());
    }
    lk.lock();
    self->sleeping = false;
}

// With the internal lock held. A thread that does not sleep needs no wake: it looks at its
// state under the lock before it sleeps.
void wakeNow(ThreadRecord* r) {
    if (r->sleeping) r->wake.Post();
}

void wakeLater(ThreadRecord* r) {
    if (!r->sleeping) return;
    if (tlsWakeCount == MaxOwedWakes) {
        r->wake.Post();
        return;
    }
    r->wakesInFlight.fetch_add(1, std::memory_order_relaxed);
    tlsWakes[tlsWakeCount++] = r;
}

void sendWakes() {
    for (int i = 0; i < tlsWakeCount; ++i) {
        ThreadRecord* r = tlsWakes[i];
        r->wake.Post();
        r->wakesInFlight.fetch_sub(1, std::memory_order_release);
    }
    tlsWakeCount = 0;
}

// Sends the owed wakes before the caller blocks (with the internal lock held on entry and on
// return; the caller re-checks its state afterwards).
void sendWakesBeforeBlocking(std::unique_lock<std::mutex>& lk) {
    if (tlsWakeCount == 0) return;
    lk.unlock();
    sendWakes();
    lk.lock();
}

// Declared before the internal lock of a kernel call, so the owed wakes go out after the
// lock is released.
struct WakesAfterUnlock {
    WakesAfterUnlock() = default;
    WakesAfterUnlock(const WakesAfterUnlock&) = delete;
    WakesAfterUnlock& operator=(const WakesAfterUnlock&) = delete;
    ~WakesAfterUnlock() {
        if (tlsWakeCount != 0) sendWakes();
    }
};

// A record is freed only when no waker still owes it a wake.
void deleteRecord(ThreadRecord* r) {
    while (r->wakesInFlight.load(std::memory_order_acquire) != 0) std::this_thread::yield();
    delete r;
}

handle_t newHandle(State& s) {
    for (;;) {
        handle_t h = s.nextHandle++;
        if (h != 0 && s.threads.find(h) == s.threads.end()) return h;
    }
}

// The caller's record; foreign host threads get one on their first kernel call.
ThreadRecord* selfRecord(State& s) {
    if (tlsSelf == nullptr) {
        auto* r = new ThreadRecord;
        r->handle = newHandle(s);
        r->foreign = true;
        r->started = true;
        r->name = "host thread";
        r->host = pthread_self();
        s.threads.emplace(r->handle, r);
        tlsSelf = r;
    }
    return tlsSelf;
}

ThreadRecord* find(State& s, handle_t h) {
    auto it = s.threads.find(h);
    return it == s.threads.end() ? nullptr : it->second;
}

void releaseMutex(Object* m);

// On the board no other thread runs while one holds the scheduler lock, so nobody could kill
// the holder and an ending thread gives it up; here a thread that parks for ever or ends
// with the lock held gives it up too.
void giveUpSchedulerLock(ThreadRecord* self) {
    Object& sched = state().scheduler;
    if (sched.owner != self->handle) return;
    sched.count = 0;
    releaseMutex(&sched);
}

// A killed thread never runs again.
[[noreturn]] void parkForever(Lock& lk, ThreadRecord* self) {
    giveUpSchedulerLock(self);
    sendWakesBeforeBlocking(lk);
    for (;;) sleep(lk, self);
}

// Done at the start of every kernel call and after every wait: a killed thread parks for
// ever, a suspended one until it is resumed (not while it holds the scheduler lock: on the
// board the suspension takes effect when the scheduler is unlocked).
void checkpoint(Lock& lk, ThreadRecord* self) {
    for (;;) {
        if (self->killed) parkForever(lk, self);
        if (self->suspendCount <= 0 || state().scheduler.owner == self->handle) return;
        sendWakesBeforeBlocking(lk);
        if (self->killed || self->suspendCount <= 0) continue;
        sleep(lk, self);
    }
}

// Enters a kernel call: takes the internal lock and passes the checkpoint.
ThreadRecord* enter(State& s, Lock& lk) {
    ThreadRecord* self = selfRecord(s);
    checkpoint(lk, self);
    return self;
}

// With clockLock held.
tick_t ticksAt(const State& s, Clock::time_point t) {
    double ms = std::chrono::duration<double, std::milli>(t - s.baseClock).count();
    return s.baseTick + static_cast<tick_t>(ms / s.msPerTick);
}

tick_t nowTicks(State& s) {
    std::lock_guard<std::mutex> g(s.clockLock);
    return ticksAt(s, Clock::now());
}

Clock::time_point tickTimePoint(State& s, tick_t abstime) {
    std::lock_guard<std::mutex> g(s.clockLock);
    double ticks = abstime > s.baseTick ? static_cast<double>(abstime - s.baseTick) : 0.0;
    auto span = std::chrono::duration<double, std::milli>(ticks * s.msPerTick);
    return s.baseClock + std::chrono::duration_cast<Clock::duration>(span) +
           std::chrono::microseconds(1);
}

void removeWaiter(Object* obj, ThreadRecord* r) {
    auto& w = obj->waiters;
    w.erase(std::remove(w.begin(), w.end(), r), w.end());
}

// Ends the wait of a queued thread (already taken off the object's queue) and wakes it.
void finishWait(ThreadRecord* r, bool ok) {
    r->wait.done = true;
    r->wait.ok = ok;
    wakeLater(r);
}

ThreadRecord* popWaiter(Object* obj) {
    if (obj->waiters.empty()) return nullptr;
    ThreadRecord* r = obj->waiters.front();
    obj->waiters.erase(obj->waiters.begin());
    return r;
}

// Blocks the caller on obj (nullptr: no object, a delay) until a waker finishes the wait, the
// deadline passes (timed) or the wait is released (releasable). Returns how it ended.
bool block(State& s, Lock& lk, ThreadRecord* self, Object* obj, bool releasable,
           const tick_t* abstime, std::uint32_t pattern = 0, std::uint8_t mode = 0) {
    assert(s.scheduler.owner != self->handle && "blocking kernel wait under the scheduler lock");
    if (releasable && self->releasePending) {
        self->releasePending = false;
        return false;
    }
    WaitState& w = self->wait;
    w = WaitState{};
    w.active = true;
    w.releasable = releasable;
    w.object = obj;
    w.pattern = pattern;
    w.mode = mode;
    if (obj != nullptr) obj->waiters.push_back(self);
    sendWakesBeforeBlocking(lk);
    for (;;) {
        if (self->killed) parkForever(lk, self);  // already off the queue: obj may be gone
        if (w.done) break;
        if (abstime != nullptr) {
            if (nowTicks(s) >= *abstime) {
                if (obj != nullptr) removeWaiter(obj, self);
                w.done = true;
                w.ok = false;
                break;
            }
            const Clock::time_point until = tickTimePoint(s, *abstime);
            sleep(lk, self, &until);
        } else {
            sleep(lk, self);
        }
    }
    w.active = false;
    w.object = nullptr;
    bool ok = w.ok;
    checkpoint(lk, self);
    return ok;
}

bool flagMatches(std::uint32_t value, std::uint32_t pattern, std::uint8_t mode) {
    if (mode & FLAG_WAITMODE_OR) return (value & pattern) != 0;
    return (value & pattern) == pattern;
}

// Takes a free or handed-over mutex for self; blocks otherwise.
bool acquireMutex(State& s, Lock& lk, ThreadRecord* self, Object* m, bool releasable) {
    assert(m->owner != self->handle && "kernel mutex locked again by its owner");
    if (m->owner == 0) {
        m->owner = self->handle;
        return true;
    }
    return block(s, lk, self, m, releasable, nullptr);  // the unlocker hands it over
}

void releaseMutex(Object* m) {
    ThreadRecord* next = popWaiter(m);
    m->owner = next != nullptr ? next->handle : 0;
    if (next != nullptr) finishWait(next, true);
}

void* trampoline(void* arg) {
    auto* self = static_cast<ThreadRecord*>(arg);
    tlsSelf = self;
    State& s = state();
    {
        Lock lk(s.lock);
        while (self->suspendCount > 0 && !self->killed) sleep(lk, self);
        if (self->killed) return nullptr;  // deleted before it ever ran: joined by the deleter
        self->started = true;
    }
    try {
        self->entry(self->data);
    } catch (const ThreadExitUnwind&) {
    }
    WakesAfterUnlock wakes;
    Lock lk(s.lock);
    giveUpSchedulerLock(self);
    self->exited = true;
    return nullptr;
}

Object* newObject(Kind k) { return new Object(k); }

void destroyObject(Object*& impl) {
    if (impl == nullptr) return;
    State& s = state();
    WakesAfterUnlock wakes;
    Lock lk(s.lock);
    // A thread killed while it spun on the mutex stops looking at it within the spin's bound.
    while (impl->spinners.load(std::memory_order_acquire) != 0) std::this_thread::yield();
    assert(impl->waiters.empty() && "kernel object destroyed while threads wait on it");
    for (ThreadRecord* r : impl->waiters) finishWait(r, false);
    delete impl;
    impl = nullptr;
}

}  // namespace

// ---- clock -------------------------------------------------------------------------------

void set_tick_ms(double real_ms_per_tick) {
    if (!(real_ms_per_tick > 0.0)) return;
    State& s = state();
    WakesAfterUnlock wakes;
    Lock lk(s.lock);
    {
        std::lock_guard<std::mutex> g(s.clockLock);
        Clock::time_point now = Clock::now();
        s.baseTick = ticksAt(s, now);
        s.baseClock = now;
        s.msPerTick = real_ms_per_tick;
    }
    // Timed waits recompute their deadlines at the new rate.
    for (auto& entry : s.threads) wakeNow(entry.second);
}

double tick_ms() {
    State& s = state();
    std::lock_guard<std::mutex> g(s.clockLock);
    return s.msPerTick;
}

tick_t current_time() { return nowTicks(state()); }

tick_t ms_to_ticks(std::uint32_t ms) { return (static_cast<tick_t>(ms) + 9) / 10; }

// ---- threads -----------------------------------------------------------------------------

handle_t thread_create(int priority, thread_entry_t entry, addrword_t data, const char* name,
                       std::size_t stack_size) {
    State& s = state();
    auto* r = new ThreadRecord;
    r->priority = priority;
    r->suspendCount = 1;
    r->stackSize = stack_size;
    r->name = name != nullptr ? name : "";
    r->entry = entry;
    r->data = data;
    {
        Lock lk(s.lock);
        enter(s, lk);
        r->handle = newHandle(s);
        s.threads.emplace(r->handle, r);
    }
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setstacksize(&attr, std::max(stack_size, MinHostStack));
    int rc = pthread_create(&r->host, &attr, trampoline, r);
    pthread_attr_destroy(&attr);
    if (rc != 0) {
        std::fprintf(stderr, "kernel: cannot create thread \"%s\": %s\n", r->name.c_str(),
                     std::strerror(rc));
        Lock lk(s.lock);
        s.threads.erase(r->handle);
        delete r;
        return 0;
    }
    return r->handle;
}

void thread_resume(handle_t thread) {
    State& s = state();
    WakesAfterUnlock wakes;
    Lock lk(s.lock);
    enter(s, lk);
    ThreadRecord* r = find(s, thread);
    if (r == nullptr || r->suspendCount == 0) return;
    if (--r->suspendCount == 0) wakeLater(r);
}

void thread_suspend(handle_t thread) {
    State& s = state();
    WakesAfterUnlock wakes;
    Lock lk(s.lock);
    ThreadRecord* self = enter(s, lk);
    ThreadRecord* r = find(s, thread);
    if (r == nullptr || r->exited) return;
    ++r->suspendCount;
    if (r == self) checkpoint(lk, self);  // parks at once
}

void thread_delay(tick_t ticks) {
    State& s = state();
    WakesAfterUnlock wakes;
    Lock lk(s.lock);
    ThreadRecord* self = enter(s, lk);
    if (ticks == 0) {
        lk.unlock();
        std::this_thread::yield();
        return;
    }
    tick_t abstime = nowTicks(s) + ticks;
    block(s, lk, self, nullptr, true, &abstime);
}

handle_t thread_self() {
    if (tlsSelf != nullptr) return tlsSelf->handle;
    State& s = state();
    WakesAfterUnlock wakes;
    Lock lk(s.lock);
    return enter(s, lk)->handle;
}

void thread_exit() {
    State& s = state();
    {
        Lock lk(s.lock);
        ThreadRecord* self = enter(s, lk);
        if (self->foreign) {
            // Not a kernel thread: there is no trampoline to return to.
            std::fprintf(stderr, "kernel: thread_exit on a host thread\n");
            std::abort();
        }
    }
    throw ThreadExitUnwind{};
}

void thread_release(handle_t thread) {
    State& s = state();
    WakesAfterUnlock wakes;
    Lock lk(s.lock);
    enter(s, lk);
    ThreadRecord* r = find(s, thread);
    if (r == nullptr || r->exited) return;
    WaitState& w = r->wait;
    if (w.active && !w.done && w.releasable) {
        if (w.object != nullptr) removeWaiter(w.object, r);
        finishWait(r, false);
    } else {
        r->releasePending = true;
    }
}

bool thread_delete(handle_t thread) {
    State& s = state();
    WakesAfterUnlock wakes;
    Lock lk(s.lock);
    ThreadRecord* self = enter(s, lk);
    ThreadRecord* r = find(s, thread);
    if (r == nullptr) return false;
    s.threads.erase(r->handle);
    if (r->exited || (!r->started && !r->foreign)) {
        // Ended, or never ran: its host thread ends by itself and is joined.
        r->killed = true;
        wakeNow(r);
        lk.unlock();
        pthread_join(r->host, nullptr);
        deleteRecord(r);
        return true;
    }
    r->killed = true;
    if (r->wait.active && !r->wait.done && r->wait.object != nullptr)
        removeWaiter(r->wait.object, r);
    wakeNow(r);
    s.killed.push_back(r);
    if (!r->foreign) pthread_detach(r->host);
    if (r == self) parkForever(lk, self);
    return true;
}

void thread_yield() {
    State& s = state();
    {
        Lock lk(s.lock);
        enter(s, lk);
    }
    std::this_thread::yield();
}

ThreadInfo thread_info(handle_t thread) {
    State& s = state();
    WakesAfterUnlock wakes;
    Lock lk(s.lock);
    enter(s, lk);
    ThreadInfo info{};
    ThreadRecord* r = find(s, thread);
    if (r == nullptr) return info;
    info.exists = true;
    info.priority = r->priority;
    info.suspend_count = r->suspendCount;
    info.exited = r->exited;
    info.killed = r->killed;
    info.waiting = r->wait.active && !r->wait.done;
    info.stack_size = r->stackSize;
    std::snprintf(info.name, sizeof info.name, "%s", r->name.c_str());
    return info;
}

handle_t thread_find(const char* name) {
    if (name == nullptr) return 0;
    State& s = state();
    Lock lk(s.lock);
    enter(s, lk);
    for (const auto& entry : s.threads) {
        const ThreadRecord* r = entry.second;
        if (!r->foreign && !r->exited && !r->killed && r->name == name) return r->handle;
    }
    return 0;
}

std::vector<std::string> thread_names() {
    State& s = state();
    Lock lk(s.lock);
    enter(s, lk);
    std::vector<std::pair<handle_t, std::string>> live;
    for (const auto& entry : s.threads) {
        const ThreadRecord* r = entry.second;
        if (!r->foreign && !r->exited && !r->killed && !r->name.empty()) live.emplace_back(r->handle, r->name);
    }
    std::sort(live.begin(), live.end());
    std::vector<std::string> names;
    for (auto& thread : live) names.push_back(std::move(thread.second));
    return names;
}

void thread_set_priority(handle_t thread, int priority) {
    State& s = state();
    WakesAfterUnlock wakes;
    Lock lk(s.lock);
    enter(s, lk);
    ThreadRecord* r = find(s, thread);
    if (r != nullptr) r->priority = priority;
}

// ---- scheduler lock ----------------------------------------------------------------------

void scheduler_lock() {
    State& s = state();
    WakesAfterUnlock wakes;
    Lock lk(s.lock);
    ThreadRecord* self = enter(s, lk);
    Object& sched = s.scheduler;
    if (sched.owner == self->handle) {
        ++sched.count;
        return;
    }
    if (sched.owner == 0) {
        sched.owner = self->handle;
        sched.count = 1;
        return;
    }
    block(s, lk, self, &sched, false, nullptr);  // the unlocker hands it over
    sched.count = 1;
}

void scheduler_unlock() {
    State& s = state();
    WakesAfterUnlock wakes;
    Lock lk(s.lock);
    ThreadRecord* self = enter(s, lk);
    Object& sched = s.scheduler;
    assert(sched.owner == self->handle && "scheduler unlocked by a thread that does not hold it");
    if (sched.owner != self->handle) return;
    if (--sched.count > 0) return;
    releaseMutex(&sched);
    checkpoint(lk, self);  // a suspension made while it was held
}

bool scheduler_locked_by_self() {
    State& s = state();
    WakesAfterUnlock wakes;
    Lock lk(s.lock);
    ThreadRecord* self = enter(s, lk);
    return s.scheduler.owner == self->handle;
}

// ---- mutex -------------------------------------------------------------------------------

void mutex_init(Mutex* m) { m->impl = newObject(Kind::Mutex); }

void mutex_destroy(Mutex* m) { destroyObject(m->impl); }

namespace {

// Kernel mutexes are held for short stretches: a thread that finds one held by a running
// thread looks for it to come free, at most this long, before it queues and sleeps.
SpinSite mutexSpin(std::chrono::microseconds(20));

// With the internal lock held: the owner of m is running (not in a wait, not parked).
bool ownerRuns(State& s, Object* m) {
    const ThreadRecord* owner = find(s, m->owner);
    return owner != nullptr && !owner->sleeping && !owner->killed && owner->suspendCount <= 0;
}

}  // namespace

bool mutex_lock(Mutex* m) {
    State& s = state();
    WakesAfterUnlock wakes;
    Lock lk(s.lock);
    ThreadRecord* self = enter(s, lk);
    Object* o = m->impl;
    if (SpinningPays() && o->owner != 0 && o->owner != self->handle && ownerRuns(s, o)) {
        o->spinners.fetch_add(1, std::memory_order_relaxed);
        lk.unlock();
        sendWakes();
        mutexSpin.Spin([o] { return o->owner.load(std::memory_order_relaxed) == 0; });
        o->spinners.fetch_sub(1, std::memory_order_release);
        lk.lock();
        checkpoint(lk, self);
    }
    return acquireMutex(s, lk, self, o, true);
}

bool mutex_trylock(Mutex* m) {
    State& s = state();
    WakesAfterUnlock wakes;
    Lock lk(s.lock);
    ThreadRecord* self = enter(s, lk);
    if (m->impl->owner != 0) return false;
    m->impl->owner = self->handle;
    return true;
}

void mutex_unlock(Mutex* m) {
    State& s = state();
    WakesAfterUnlock wakes;
    Lock lk(s.lock);
    ThreadRecord* self = enter(s, lk);
    assert(m->impl->owner == self->handle && "kernel mutex unlocked by a thread not holding it");
    if (m->impl->owner != self->handle) return;
    releaseMutex(m->impl);
}

// ---- counting semaphore -----------------------------------------------------------------

void semaphore_init(Semaphore* sem, std::uint32_t count) {
    sem->impl = newObject(Kind::Semaphore);
    sem->impl->count = count;
}

void semaphore_destroy(Semaphore* sem) { destroyObject(sem->impl); }

namespace {

bool semaphoreWait(Semaphore* sem, const tick_t* abstime) {
    State& s = state();
    WakesAfterUnlock wakes;
    Lock lk(s.lock);
    ThreadRecord* self = enter(s, lk);
    Object* o = sem->impl;
    if (o->count > 0) {
        --o->count;
        return true;
    }
    return block(s, lk, self, o, true, abstime);  // a post hands its count over
}

}  // namespace

bool semaphore_wait(Semaphore* sem) { return semaphoreWait(sem, nullptr); }

bool semaphore_timed_wait(Semaphore* sem, tick_t abstime) { return semaphoreWait(sem, &abstime); }

bool semaphore_trywait(Semaphore* sem) {
    State& s = state();
    WakesAfterUnlock wakes;
    Lock lk(s.lock);
    enter(s, lk);
    if (sem->impl->count == 0) return false;
    --sem->impl->count;
    return true;
}

void semaphore_post(Semaphore* sem) {
    State& s = state();
    WakesAfterUnlock wakes;
    Lock lk(s.lock);
    enter(s, lk);
    if (ThreadRecord* r = popWaiter(sem->impl)) {
        finishWait(r, true);
    } else {
        ++sem->impl->count;
    }
}

std::uint32_t semaphore_peek(Semaphore* sem) {
    State& s = state();
    WakesAfterUnlock wakes;
    Lock lk(s.lock);
    enter(s, lk);
    return sem->impl->count;
}

// ---- event flags -------------------------------------------------------------------------

void flag_init(Flag* f) { f->impl = newObject(Kind::Flag); }

void flag_destroy(Flag* f) { destroyObject(f->impl); }

void flag_setbits(Flag* f, std::uint32_t bits) {
    State& s = state();
    WakesAfterUnlock wakes;
    Lock lk(s.lock);
    enter(s, lk);
    Object* o = f->impl;
    o->count |= bits;
    // Waiters in arrival order; a clearing waiter takes its bits from the later ones.
    for (std::size_t i = 0; i < o->waiters.size();) {
        ThreadRecord* r = o->waiters[i];
        if (!flagMatches(o->count, r->wait.pattern, r->wait.mode)) {
            ++i;
            continue;
        }
        r->wait.value = o->count;
        if (r->wait.mode & FLAG_WAITMODE_CLR) o->count &= ~r->wait.pattern;
        o->waiters.erase(o->waiters.begin() + static_cast<std::ptrdiff_t>(i));
        finishWait(r, true);
    }
}

void flag_maskbits(Flag* f, std::uint32_t mask) {
    State& s = state();
    WakesAfterUnlock wakes;
    Lock lk(s.lock);
    enter(s, lk);
    f->impl->count &= mask;
}

namespace {

std::uint32_t flagWait(Flag* f, std::uint32_t pattern, std::uint8_t mode, const tick_t* abstime,
                       bool poll) {
    assert(pattern != 0 && "flag wait on an empty pattern");
    State& s = state();
    WakesAfterUnlock wakes;
    Lock lk(s.lock);
    ThreadRecord* self = enter(s, lk);
    Object* o = f->impl;
    if (flagMatches(o->count, pattern, mode)) {
        std::uint32_t value = o->count;
        if (mode & FLAG_WAITMODE_CLR) o->count &= ~pattern;
        return value;
    }
    if (poll) return 0;
    if (!block(s, lk, self, o, true, abstime, pattern, mode)) return 0;
    return self->wait.value;
}

}  // namespace

std::uint32_t flag_wait(Flag* f, std::uint32_t pattern, std::uint8_t mode) {
    return flagWait(f, pattern, mode, nullptr, false);
}

std::uint32_t flag_timed_wait(Flag* f, std::uint32_t pattern, std::uint8_t mode, tick_t abstime) {
    return flagWait(f, pattern, mode, &abstime, false);
}

std::uint32_t flag_poll(Flag* f, std::uint32_t pattern, std::uint8_t mode) {
    return flagWait(f, pattern, mode, nullptr, true);
}

std::uint32_t flag_peek(Flag* f) {
    State& s = state();
    WakesAfterUnlock wakes;
    Lock lk(s.lock);
    enter(s, lk);
    return f->impl->count;
}

// ---- condition variable ------------------------------------------------------------------

void cond_init(Cond* c, Mutex* m) {
    c->impl = newObject(Kind::Cond);
    c->impl->mutex = m->impl;
}

void cond_destroy(Cond* c) { destroyObject(c->impl); }

namespace {

bool condWait(Cond* c, const tick_t* abstime) {
    State& s = state();
    WakesAfterUnlock wakes;
    Lock lk(s.lock);
    ThreadRecord* self = enter(s, lk);
    Object* m = c->impl->mutex;
    assert(m->owner == self->handle && "condition wait without holding its mutex");
    releaseMutex(m);
    bool ok = block(s, lk, self, c->impl, true, abstime);
    // The mutex is held again on return, however the wait ended.
    acquireMutex(s, lk, self, m, false);
    return ok;
}

}  // namespace

bool cond_wait(Cond* c) { return condWait(c, nullptr); }

bool cond_timed_wait(Cond* c, tick_t abstime) { return condWait(c, &abstime); }

void cond_signal(Cond* c) {
    State& s = state();
    WakesAfterUnlock wakes;
    Lock lk(s.lock);
    enter(s, lk);
    if (ThreadRecord* r = popWaiter(c->impl)) finishWait(r, true);
}

void cond_broadcast(Cond* c) {
    State& s = state();
    WakesAfterUnlock wakes;
    Lock lk(s.lock);
    enter(s, lk);
    while (ThreadRecord* r = popWaiter(c->impl)) finishWait(r, true);
}

}  // namespace kernel
