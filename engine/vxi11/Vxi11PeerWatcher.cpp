#include "engine/vxi11/Vxi11PeerWatcher.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>

#include "engine/os/Allocator.h"

namespace {

constexpr short kHangUp = POLLRDHUP | POLLHUP | POLLERR | POLLNVAL;

}  // namespace

CVxi11PeerWatcher::CVxi11PeerWatcher() {
    m_entries = static_cast<SEntry*>(EngineAllocate(sizeof(SEntry) * kMaxWatched));
    if (m_entries == nullptr || m_mutex.InitFailed() != 0 || pipe2(m_wake, O_CLOEXEC | O_NONBLOCK) != 0) {
        return;
    }
    std::uint32_t status = 0;
    Start(kDefaultPriority, &status);
    m_threadStarted = status == 0;
    m_initFailed = m_threadStarted ? 0 : 1;
}

CVxi11PeerWatcher::~CVxi11PeerWatcher() {
    std::uint32_t status = 0;
    if (m_threadStarted) {
        m_mutex.Lock(&status);
        m_stopping = true;
        m_mutex.Unlock();
        Wake();
        Stop(&status);
    }
    for (std::uint32_t i = 0; i < m_count; ++i) {
        close(m_entries[i].descriptor);
    }
    for (int fd : m_wake) {
        if (fd >= 0) {
            close(fd);
        }
    }
    EngineFree(m_entries);
}

void CVxi11PeerWatcher::Wake() {
    const char byte = 1;
    // A full pipe already holds a wake-up.
    (void)!write(m_wake[1], &byte, 1);
}

void CVxi11PeerWatcher::Watch(CWatched* who, int descriptor, std::uint32_t* status) {
    *status = 7;
    if (m_initFailed != 0) {
        return;
    }
    const int duplicate = fcntl(descriptor, F_DUPFD_CLOEXEC, 0);
    if (duplicate < 0) {
        return;
    }
    std::uint32_t lockStatus = 0;
    m_mutex.Lock(&lockStatus);
    if (lockStatus != 0 || m_count == kMaxWatched) {
        if (lockStatus == 0) {
            m_mutex.Unlock();
        }
        close(duplicate);
        return;
    }
    m_entries[m_count++] = SEntry{who, duplicate, m_nextSerial++, false};
    m_mutex.Unlock();
    Wake();
    *status = 0;
}

void CVxi11PeerWatcher::Forget(CWatched* who) {
    std::uint32_t lockStatus = 0;
    m_mutex.Lock(&lockStatus);
    if (lockStatus != 0) {
        return;
    }
    for (std::uint32_t i = 0; i < m_count;) {
        if (m_entries[i].who == who) {
            // A poll still running on it keeps its own reference to the socket.
            close(m_entries[i].descriptor);
            m_entries[i] = m_entries[--m_count];
        } else {
            ++i;
        }
    }
    m_mutex.Unlock();
    Wake();
}

std::uint32_t CVxi11PeerWatcher::WatchedCount() {
    std::uint32_t lockStatus = 0;
    m_mutex.Lock(&lockStatus);
    if (lockStatus != 0) {
        return 0;
    }
    const std::uint32_t count = m_count;
    m_mutex.Unlock();
    return count;
}

void CVxi11PeerWatcher::Run() {
    SetState(1);
    NotifyStarted();
    pollfd* polled = static_cast<pollfd*>(EngineAllocate(sizeof(pollfd) * (kMaxWatched + 1)));
    std::uint64_t* serials = static_cast<std::uint64_t*>(EngineAllocate(sizeof(std::uint64_t) * kMaxWatched));
    if (polled == nullptr || serials == nullptr) {
        EngineFree(polled);
        EngineFree(serials);
        return;
    }
    for (;;) {
        std::uint32_t lockStatus = 0;
        m_mutex.Lock(&lockStatus);
        if (m_stopping) {
            m_mutex.Unlock();
            break;
        }
        polled[0] = pollfd{m_wake[0], POLLIN, 0};
        nfds_t count = 1;
        bool dying = false;
        for (std::uint32_t i = 0; i < m_count; ++i) {
            if (m_entries[i].gone) {
                dying = true;
                continue;
            }
            serials[count - 1] = m_entries[i].serial;
            polled[count++] = pollfd{m_entries[i].descriptor, POLLRDHUP, 0};
        }
        m_mutex.Unlock();

        const int ready = poll(polled, count, dying ? static_cast<int>(kRetryMs) : -1);
        if (ready < 0 && errno != EINTR) {
            break;
        }
        if (ready > 0 && (polled[0].revents & POLLIN) != 0) {
            char drain[64];
            while (read(m_wake[0], drain, sizeof(drain)) > 0) {
            }
        }

        m_mutex.Lock(&lockStatus);
        for (nfds_t k = 1; ready > 0 && k < count; ++k) {
            if ((polled[k].revents & kHangUp) == 0) {
                continue;
            }
            for (std::uint32_t i = 0; i < m_count; ++i) {
                if (m_entries[i].serial == serials[k - 1] && !m_entries[i].gone) {
                    m_entries[i].gone = true;
                    m_entries[i].who->PeerGone();
                }
            }
        }
        for (std::uint32_t i = 0; i < m_count; ++i) {
            if (m_entries[i].gone) {
                m_entries[i].who->AbortProcedures();
            }
        }
        m_mutex.Unlock();
    }
    EngineFree(polled);
    EngineFree(serials);
}
