// Device table of the simulated board's I/O layer, in the shape of the operating system's
// device table: each device is an entry {name, handlers, private data}; the firmware opens
// it by name and reads, writes and selects on the descriptor.
//
// Handlers return 0 or an errno value (a negative -EINVAL, or 4 for a broken wait, as the
// drivers give it); lengths are in/out. Select handlers return 1 when the device is ready
// for the direction asked (1 read, 2 write), else record the caller on one of the device's
// select-infos (devio_selrecord) and return 0; when the state changes the device calls
// devio_selwakeup on that select-info, which wakes every selector so it polls again.
//
// Lock order: the table's own lock is never held while a handler runs, so handlers may
// call devio_selwakeup with their own locks held, and also from interrupt context.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "platform/kernel/Kernel.h"

namespace devio {

struct Device;

enum : int {
    SELECT_READ = 1,
    SELECT_WRITE = 2,
};

struct DeviceHandlers {
    int (*write)(Device* device, const void* data, std::uint32_t* length);     // may be null
    int (*read)(Device* device, void* buffer, std::uint32_t* length);          // may be null
    int (*select)(Device* device, int which);                                  // may be null
    int (*get_config)(Device* device, std::uint32_t key, void* buffer, std::uint32_t* length);
    int (*set_config)(Device* device, std::uint32_t key, const void* buffer,
                      std::uint32_t* length);
    bool (*init)(Device* device);     // run once by devio_register; null: nothing to do
    int (*lookup)(Device* device);    // run by each open; 0 or -errno; null: always 0
};

struct Device {
    const char* name;
    const DeviceHandlers* handlers;
    void* priv;                       // the driver's record
    std::uint32_t status;             // device-table status word (0x1000 for these drivers)
};

// A select-info: the record of "someone selects on this direction of this device".
struct SelInfo {
    std::atomic<bool> recorded{false};
};
void devio_selinit(SelInfo* info);
void devio_selrecord(SelInfo* info);
void devio_selwakeup(SelInfo* info);  // safe from interrupt context and under driver locks

// Adds the device to the table and runs its init handler. false: the name is taken or init
// failed. The Device and its private data must outlive the registration.
bool devio_register(Device* device);
// Removes the device (for tests); false when it is not registered or still open.
bool devio_unregister(Device* device);
Device* devio_lookup(const char* name);

// Open modes (the firmware opens its devices read-write, 3).
enum : int {
    OPEN_READ = 1,
    OPEN_WRITE = 2,
    OPEN_READ_WRITE = 3,
};
constexpr int kMaxDescriptors = 64;

// Returns a descriptor 0 .. kMaxDescriptors-1, or -1 (no such device, the lookup handler
// refused, or no free descriptor).
int devio_open(const char* name, int mode);
// 0, or -9 (EBADF).
int devio_close(int fd);
// Bytes transferred (>= 0); a handler failure or a broken wait before any byte moved gives
// -errno (-4 EINTR, -9 EBADF, -22 EINVAL, -95 no such handler). A broken wait after some
// bytes moved gives that count.
int devio_read(int fd, void* buffer, std::uint32_t length);
int devio_write(int fd, const void* data, std::uint32_t length);
// The handler's result (0 or -errno); length in/out.
int devio_get_config(int fd, std::uint32_t key, void* buffer, std::uint32_t* length);
int devio_set_config(int fd, std::uint32_t key, const void* buffer, std::uint32_t* length);

// Descriptor sets for devio_select.
struct FdSet {
    std::uint64_t bits = 0;
};
void devio_fd_zero(FdSet* set);
void devio_fd_set(int fd, FdSet* set);
void devio_fd_clr(int fd, FdSet* set);
bool devio_fd_isset(int fd, const FdSet* set);

constexpr std::int64_t kWaitForever = -1;

// Waits until one of the descriptors below nfds in readfds / writefds (either may be null)
// is ready, or timeout_ticks kernel ticks have passed (0 polls once; kWaitForever waits
// without limit). On return the sets hold only the ready descriptors. Result: the number of
// ready descriptors, 0 on time-out (sets cleared), -9 for a descriptor that is not open,
// -4 when the wait was broken (kernel::thread_release).
int devio_select(int nfds, FdSet* readfds, FdSet* writefds, std::int64_t timeout_ticks);

}  // namespace devio
