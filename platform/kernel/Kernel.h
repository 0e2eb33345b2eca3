// Kernel layer of the simulated board: threads, mutexes, semaphores, event flags,
// condition variables, the clock and the scheduler lock, built on host threads.
//
// Behaviour the firmware relies on:
//  - one tick is 10 ms of board time; set_tick_ms() changes how many real milliseconds
//    one tick lasts (tests and the runner speed the clock up: 0.1 makes 3000 ticks 0.3 s);
//  - timed waits take an absolute tick count; a deadline already past tests once;
//  - threads are created suspended (suspend count 1) and run nothing before resume;
//    priorities are recorded, never applied, so nothing may rely on them;
//  - a thread suspended by another parks at its next kernel call; a self-suspend parks at once;
//  - thread_release() makes the target's current (or next) blocking wait return false;
//  - thread_delete() of an exited thread joins it; of a live thread kills it: the thread parks
//    for ever at its next kernel call (or in the wait it is in), runs no firmware code again,
//    and the objects it waited on may then be destroyed.
#pragma once

#include <cstddef>
#include <string>
#include <vector>
#include <cstdint>

namespace kernel {

using tick_t = std::uint64_t;
using handle_t = std::uint32_t;  // 0 is never a thread handle
using addrword_t = std::uintptr_t;
using thread_entry_t = void (*)(addrword_t data);

struct Object;  // internal kernel-object state

// ---- clock -------------------------------------------------------------------------------
void set_tick_ms(double real_ms_per_tick);
double tick_ms();
tick_t current_time();                         // ticks since the board started
tick_t ms_to_ticks(std::uint32_t ms);          // 10-ms ticks, rounded up

// ---- threads -----------------------------------------------------------------------------
// Creates a suspended thread; stack_size is recorded (the host stack is at least 1 MiB).
handle_t thread_create(int priority, thread_entry_t entry, addrword_t data, const char* name,
                       std::size_t stack_size);
void thread_resume(handle_t thread);
void thread_suspend(handle_t thread);
void thread_delay(tick_t ticks);
handle_t thread_self();
[[noreturn]] void thread_exit();
void thread_release(handle_t thread);
bool thread_delete(handle_t thread);           // false: no such thread
void thread_yield();

struct ThreadInfo {
    bool exists;
    int priority;
    int suspend_count;
    bool exited;
    bool killed;
    bool waiting;  // blocked in a kernel wait (not a suspension)
    std::size_t stack_size;
    char name[48];
};
ThreadInfo thread_info(handle_t thread);
// A live thread (created by the kernel, not exited, not deleted) of that name; 0 when none.
handle_t thread_find(const char* name);
// The names of the live threads (as thread_find sees them), in creation order; unnamed ones left out.
std::vector<std::string> thread_names();
void thread_set_priority(handle_t thread, int priority);

// ---- scheduler lock (nestable, process-wide) ---------------------------------------------
void scheduler_lock();
void scheduler_unlock();
bool scheduler_locked_by_self();

// ---- mutex -------------------------------------------------------------------------------
struct Mutex {
    Object* impl = nullptr;
};
void mutex_init(Mutex* m);
void mutex_destroy(Mutex* m);
bool mutex_lock(Mutex* m);                     // false: the wait was released
bool mutex_trylock(Mutex* m);
void mutex_unlock(Mutex* m);

// ---- counting semaphore -----------------------------------------------------------------
struct Semaphore {
    Object* impl = nullptr;
};
void semaphore_init(Semaphore* s, std::uint32_t count);
void semaphore_destroy(Semaphore* s);
bool semaphore_wait(Semaphore* s);
bool semaphore_timed_wait(Semaphore* s, tick_t abstime);
bool semaphore_trywait(Semaphore* s);
void semaphore_post(Semaphore* s);
std::uint32_t semaphore_peek(Semaphore* s);

// ---- event flags (32 bits) ----------------------------------------------------------------
enum : std::uint8_t {
    FLAG_WAITMODE_AND = 0,  // all bits of the pattern
    FLAG_WAITMODE_OR = 2,   // any bit of the pattern
    FLAG_WAITMODE_CLR = 1,  // clear the matched pattern bits on return
};
struct Flag {
    Object* impl = nullptr;
};
void flag_init(Flag* f);
void flag_destroy(Flag* f);
void flag_setbits(Flag* f, std::uint32_t bits);
void flag_maskbits(Flag* f, std::uint32_t mask);  // keeps only the bits of mask
// Returns the flag value that satisfied the wait, 0 when released or timed out.
std::uint32_t flag_wait(Flag* f, std::uint32_t pattern, std::uint8_t mode);
std::uint32_t flag_timed_wait(Flag* f, std::uint32_t pattern, std::uint8_t mode, tick_t abstime);
std::uint32_t flag_poll(Flag* f, std::uint32_t pattern, std::uint8_t mode);
std::uint32_t flag_peek(Flag* f);

// ---- condition variable (bound to a kernel mutex) ----------------------------------------
struct Cond {
    Object* impl = nullptr;
};
void cond_init(Cond* c, Mutex* m);
void cond_destroy(Cond* c);
bool cond_wait(Cond* c);                       // the mutex is held again on return
bool cond_timed_wait(Cond* c, tick_t abstime); // false: timed out or released
void cond_signal(Cond* c);
void cond_broadcast(Cond* c);

}  // namespace kernel
