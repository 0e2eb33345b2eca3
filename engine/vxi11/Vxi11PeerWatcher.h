// Notices VXI-11 peers that are gone while their connection thread is busy elsewhere.
//
// A connection thread reads its socket only between requests; while a procedure waits (a
// device_read for a response that never comes, a device_lock with waitlock, the engine's hold
// on the device) a peer that closes, resets or is reaped by keep-alive would go unnoticed and
// keep its links, locks and the device's operation queue. One watcher thread polls every
// watched connection for hang-up (POLLRDHUP, POLLHUP, POLLERR) on a duplicate of its
// descriptor. When it fires, the watcher calls PeerGone once, then AbortProcedures every
// kRetryMs until the connection is forgotten: an abort reaches only a procedure that has
// begun, so it is repeated until the connection thread has left its procedure and ends.
//
// Forget returns only when no call into the watched object runs any more (the calls are made
// under the watcher's mutex), so the connection may be deleted right after it.
#pragma once

#include <cstdint>

#include "engine/os/OSMutex.h"
#include "engine/os/OSThread.h"

class CVxi11PeerWatcher : public COSThread {
public:
    static constexpr std::uint32_t kRetryMs = 20;
    static constexpr std::uint32_t kMaxWatched = 1024;

    class CWatched {
    public:
        virtual ~CWatched() = default;
        // The peer hung up: close the connection to further requests (called once).
        virtual void PeerGone() = 0;
        // Abort whatever procedure the connection runs or waits in.
        virtual void AbortProcedures() = 0;
    };

    CVxi11PeerWatcher();
    // Stops the thread and closes every duplicate.
    ~CVxi11PeerWatcher() override;
    CVxi11PeerWatcher(const CVxi11PeerWatcher&) = delete;
    CVxi11PeerWatcher& operator=(const CVxi11PeerWatcher&) = delete;

    // 1 when the wake-up pipe or the thread could not be made.
    std::uint8_t InitFailed() const { return m_initFailed; }

    // Watches descriptor for who (a duplicate is kept). Status 0; 7 when the descriptor
    // cannot be duplicated or kMaxWatched connections are watched already.
    void Watch(CWatched* who, int descriptor, std::uint32_t* status);
    // Stops watching who; no call into it runs after this returns.
    void Forget(CWatched* who);
    std::uint32_t WatchedCount();

protected:
    void Run() override;

private:
    struct SEntry {
        CWatched* who;
        int descriptor;       // the duplicate
        std::uint64_t serial;  // tells a new entry from an old one that had the same slot
        bool gone;
    };

    void Wake();

    std::uint8_t m_initFailed = 1;
    bool m_threadStarted = false;
    int m_wake[2] = {-1, -1};
    COSMutex m_mutex;
    bool m_stopping = false;
    std::uint64_t m_nextSerial = 1;
    std::uint32_t m_count = 0;
    SEntry* m_entries = nullptr;  // kMaxWatched
};
