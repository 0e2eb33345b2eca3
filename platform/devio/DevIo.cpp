// The table lock guards the device list and the descriptor table; it is released before any
// handler runs. Select sleeps on one kernel condition: a wake-up bumps a generation count and
// broadcasts, and every selector whose generation changed polls its devices again. The
// generation is taken before polling, so a wake-up between the poll and the wait is seen.
#include "platform/devio/DevIo.h"

#include <cstring>
#include <vector>

namespace devio {

namespace {

constexpr int kEBADF = 9;
constexpr int kEINTR = 4;
constexpr int kEOPNOTSUPP = 95;

struct Descriptor {
    Device* device = nullptr;
    int mode = 0;
};

struct Table {
    Table() {
        kernel::mutex_init(&mutex);
        kernel::cond_init(&changed, &mutex);
    }
    kernel::Mutex mutex;
    kernel::Cond changed;
    std::uint64_t generation = 0;
    std::vector<Device*> devices;
    Descriptor descriptors[kMaxDescriptors];
};

Table& TheTable() {
    static Table table;
    return table;
}

void Lock(Table& table) {
    while (!kernel::mutex_lock(&table.mutex)) {
    }
}

Device* DeviceOf(int fd) {
    if (fd < 0 || fd >= kMaxDescriptors) {
        return nullptr;
    }
    Table& table = TheTable();
    Lock(table);
    Device* device = table.descriptors[fd].device;
    kernel::mutex_unlock(&table.mutex);
    return device;
}

void Wakeup() {
    Table& table = TheTable();
    Lock(table);
    ++table.generation;
    kernel::cond_broadcast(&table.changed);
    kernel::mutex_unlock(&table.mutex);
}

int TransferResult(int result, std::uint32_t moved) {
    if (result == 0 || moved > 0) {
        return static_cast<int>(moved);
    }
    return result < 0 ? result : -result;
}

// Polls every descriptor of the sets; fills the ready sets. Returns the ready count, or
// -EBADF for a descriptor that is not open.
int Poll(int nfds, const FdSet* readfds, const FdSet* writefds, FdSet* readyRead,
         FdSet* readyWrite) {
    int ready = 0;
    for (int fd = 0; fd < nfds; ++fd) {
        for (int which : {SELECT_READ, SELECT_WRITE}) {
            const FdSet* wanted = which == SELECT_READ ? readfds : writefds;
            if (wanted == nullptr || !devio_fd_isset(fd, wanted)) {
                continue;
            }
            Device* device = DeviceOf(fd);
            if (device == nullptr) {
                return -kEBADF;
            }
            if (device->handlers->select != nullptr && device->handlers->select(device, which)) {
                devio_fd_set(fd, which == SELECT_READ ? readyRead : readyWrite);
                ++ready;
            }
        }
    }
    return ready;
}

}  // namespace

void devio_selinit(SelInfo* info) { info->recorded.store(false); }

void devio_selrecord(SelInfo* info) { info->recorded.store(true); }

void devio_selwakeup(SelInfo* info) {
    if (info->recorded.exchange(false)) {
        Wakeup();
    }
}

bool devio_register(Device* device) {
    if (device == nullptr || device->name == nullptr || device->handlers == nullptr) {
        return false;
    }
    Table& table = TheTable();
    Lock(table);
    for (Device* known : table.devices) {
        if (known == device || std::strcmp(known->name, device->name) == 0) {
            kernel::mutex_unlock(&table.mutex);
            return false;
        }
    }
    kernel::mutex_unlock(&table.mutex);
    if (device->handlers->init != nullptr && !device->handlers->init(device)) {
        return false;
    }
    Lock(table);
    table.devices.push_back(device);
    kernel::mutex_unlock(&table.mutex);
    return true;
}

bool devio_unregister(Device* device) {
    Table& table = TheTable();
    Lock(table);
    bool removed = false;
    bool open = false;
    for (const Descriptor& descriptor : table.descriptors) {
        open = open || descriptor.device == device;
    }
    for (auto it = table.devices.begin(); !open && it != table.devices.end(); ++it) {
        if (*it == device) {
            table.devices.erase(it);
            removed = true;
            break;
        }
    }
    kernel::mutex_unlock(&table.mutex);
    return removed;
}

Device* devio_lookup(const char* name) {
    if (name == nullptr) {
        return nullptr;
    }
    Table& table = TheTable();
    Lock(table);
    Device* found = nullptr;
    for (Device* device : table.devices) {
        if (std::strcmp(device->name, name) == 0) {
            found = device;
            break;
        }
    }
    kernel::mutex_unlock(&table.mutex);
    return found;
}

int devio_open(const char* name, int mode) {
    Device* device = devio_lookup(name);
    if (device == nullptr) {
        return -1;
    }
    if (device->handlers->lookup != nullptr && device->handlers->lookup(device) != 0) {
        return -1;
    }
    Table& table = TheTable();
    Lock(table);
    int fd = -1;
    for (int i = 0; i < kMaxDescriptors; ++i) {
        if (table.descriptors[i].device == nullptr) {
            table.descriptors[i] = Descriptor{device, mode};
            fd = i;
            break;
        }
    }
    kernel::mutex_unlock(&table.mutex);
    return fd;
}

int devio_close(int fd) {
    if (fd < 0 || fd >= kMaxDescriptors) {
        return -kEBADF;
    }
    Table& table = TheTable();
    Lock(table);
    const bool open = table.descriptors[fd].device != nullptr;
    table.descriptors[fd] = Descriptor{};
    kernel::mutex_unlock(&table.mutex);
    return open ? 0 : -kEBADF;
}

int devio_read(int fd, void* buffer, std::uint32_t length) {
    Device* device = DeviceOf(fd);
    if (device == nullptr) {
        return -kEBADF;
    }
    if (device->handlers->read == nullptr) {
        return -kEOPNOTSUPP;
    }
    std::uint32_t moved = length;
    const int result = device->handlers->read(device, buffer, &moved);
    return TransferResult(result, moved <= length ? moved : 0);
}

int devio_write(int fd, const void* data, std::uint32_t length) {
    Device* device = DeviceOf(fd);
    if (device == nullptr) {
        return -kEBADF;
    }
    if (device->handlers->write == nullptr) {
        return -kEOPNOTSUPP;
    }
    std::uint32_t moved = length;
    const int result = device->handlers->write(device, data, &moved);
    return TransferResult(result, moved <= length ? moved : 0);
}

int devio_get_config(int fd, std::uint32_t key, void* buffer, std::uint32_t* length) {
    Device* device = DeviceOf(fd);
    if (device == nullptr) {
        return -kEBADF;
    }
    if (device->handlers->get_config == nullptr) {
        return -kEOPNOTSUPP;
    }
    return device->handlers->get_config(device, key, buffer, length);
}

int devio_set_config(int fd, std::uint32_t key, const void* buffer, std::uint32_t* length) {
    Device* device = DeviceOf(fd);
    if (device == nullptr) {
        return -kEBADF;
    }
    if (device->handlers->set_config == nullptr) {
        return -kEOPNOTSUPP;
    }
    return device->handlers->set_config(device, key, buffer, length);
}

void devio_fd_zero(FdSet* set) { set->bits = 0; }

void devio_fd_set(int fd, FdSet* set) {
    if (fd >= 0 && fd < kMaxDescriptors) {
        set->bits |= std::uint64_t{1} << fd;
    }
}

void devio_fd_clr(int fd, FdSet* set) {
    if (fd >= 0 && fd < kMaxDescriptors) {
        set->bits &= ~(std::uint64_t{1} << fd);
    }
}

bool devio_fd_isset(int fd, const FdSet* set) {
    return fd >= 0 && fd < kMaxDescriptors && (set->bits & (std::uint64_t{1} << fd)) != 0;
}

int devio_select(int nfds, FdSet* readfds, FdSet* writefds, std::int64_t timeout_ticks) {
    if (nfds > kMaxDescriptors) {
        nfds = kMaxDescriptors;
    }
    Table& table = TheTable();
    const bool forever = timeout_ticks < 0;
    const kernel::tick_t deadline =
        forever ? 0 : kernel::current_time() + static_cast<kernel::tick_t>(timeout_ticks);
    bool repolled = false;
    for (;;) {
        Lock(table);
        const std::uint64_t generation = table.generation;
        kernel::mutex_unlock(&table.mutex);
        const bool lastPoll = !forever && kernel::current_time() >= deadline;

        FdSet readyRead;
        FdSet readyWrite;
        const int ready = Poll(nfds, readfds, writefds, &readyRead, &readyWrite);
        if (ready > 0) {
            if (readfds != nullptr) *readfds = readyRead;
            if (writefds != nullptr) *writefds = readyWrite;
            return ready;
        }
        if (ready < 0) {
            return ready;
        }
        if (lastPoll) {
            // A device may have signalled during the poll itself (a level interrupt line
            // fires again when its select unmasks it): poll once more then.
            Lock(table);
            const bool changed = table.generation != generation;
            kernel::mutex_unlock(&table.mutex);
            if (changed && !repolled) {
                repolled = true;
                continue;
            }
            if (readfds != nullptr) devio_fd_zero(readfds);
            if (writefds != nullptr) devio_fd_zero(writefds);
            return 0;
        }

        // Sleep until a device signals a change, the deadline passes or the wait is broken;
        // each of the first two ends in another poll.
        Lock(table);
        bool released = false;
        while (table.generation == generation && !released) {
            if (forever) {
                released = !kernel::cond_wait(&table.changed);
            } else if (!kernel::cond_timed_wait(&table.changed, deadline)) {
                if (kernel::current_time() >= deadline) {
                    break;
                }
                released = true;
            }
        }
        kernel::mutex_unlock(&table.mutex);
        if (released) {
            return -kEINTR;
        }
    }
}

}  // namespace devio
