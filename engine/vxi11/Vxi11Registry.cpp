#include "engine/vxi11/Vxi11Registry.h"

#include <vector>

#include <atomic>
#include <cstdlib>
#include <cstring>

#include "engine/os/Allocator.h"
#include "engine/vxi11/InstrumentServer.h"
#include "engine/vxi11/Vxi11Log.h"
#include "engine/vxi11/Vxi11Status.h"

namespace {

std::atomic<CVxi11Registry*> gRegistry{nullptr};

// Links dealt with per walk when a group of links is destroyed.
constexpr std::uint32_t kBatch = 32;

} // namespace

// ---- CVxi11Link ----

CVxi11Link::CVxi11Link(std::uint32_t id, CVxi11LinkInterface* target, CVxi11Client* owner)
    : lid(id), physicalInterface(target), client(owner)
{
    mutex = EngineNew<COSMutex>();
    if (mutex != nullptr && mutex->InitFailed() == 0) {
        initFailed = 0;
    }
}

CVxi11Link::~CVxi11Link()
{
    EngineDelete(mutex);
}

CVxi11Link::CVxi11Link(CVxi11Link&& other) noexcept
{
    *this = std::move(other);
}

CVxi11Link& CVxi11Link::operator=(CVxi11Link&& other) noexcept
{
    if (this == &other) {
        return *this;
    }
    EngineDelete(mutex);
    lid = other.lid;
    physicalInterface = other.physicalInterface;
    client = other.client;
    mutex = other.mutex;
    handleLength = other.handleLength;
    std::memcpy(handle, other.handle, sizeof(handle));
    lockHeld = other.lockHeld;
    srqEnabled = other.srqEnabled;
    srqPending = other.srqPending;
    initFailed = other.initFailed;
    other.lid = 0;
    other.physicalInterface = nullptr;
    other.client = nullptr;
    other.mutex = nullptr;
    other.handleLength = 0;
    other.lockHeld = 0;
    other.srqEnabled = 0;
    other.srqPending = 0;
    other.initFailed = 1;
    return *this;
}

// ---- CVxi11Registry ----

CVxi11Registry::CVxi11Registry(CVxi11InterfaceDirectory* directory, std::uint32_t seed,
                               std::uint32_t* status)
    : m_directory(directory), m_seed(seed)
{
    *status = m_mutex.InitFailed() != 0 ? 5 : 0;
    gRegistry.store(this);
}

CVxi11Registry::~CVxi11Registry()
{
    DestroyMatching([](const CVxi11Link&) { return true; }, false);
    CVxi11Registry* self = this;
    gRegistry.compare_exchange_strong(self, nullptr);
}

CVxi11Registry* CVxi11Registry::Instance()
{
    return gRegistry.load();
}

std::uint32_t CVxi11Registry::LinkCount()
{
    std::uint32_t status = 0;
    m_mutex.Lock(&status);
    if (status != 0) {
        return 0;
    }
    const std::uint32_t count = m_links.Count();
    m_mutex.Unlock();
    return count;
}

std::uint32_t CVxi11Registry::DrawLid()
{
    for (;;) {
        const std::uint32_t high = static_cast<std::uint32_t>(rand_r(&m_seed));
        const std::uint32_t middle = static_cast<std::uint32_t>(rand_r(&m_seed));
        const std::uint32_t low = static_cast<std::uint32_t>(rand_r(&m_seed));
        const std::uint32_t lid = (high << 17) | (middle << 2) | (low & 3u);
        CVxi11Link probe;
        probe.lid = lid;
        if (lid != 0 && m_links.Find(probe) == nullptr) {
            return lid;
        }
    }
}

CVxi11Link* CVxi11Registry::Enter(CVxi11Client* client, std::uint32_t lid, std::uint32_t* status)
{
    std::uint32_t lockStatus = 0;
    m_mutex.Lock(&lockStatus);
    if (lockStatus != 0) {
        *status = VXI11_STATUS_FAULT;
        return nullptr;
    }
    CVxi11Link probe;
    probe.lid = lid;
    CVxi11Link* link = lid != 0 ? m_links.Find(probe) : nullptr;
    if (link == nullptr || link->client != client) {
        *status = VXI11_STATUS_INVALID_LINK;
        m_mutex.Unlock();
        return nullptr;
    }
    *status = 0;
    return link;
}

void CVxi11Registry::Handover(CVxi11Link* link)
{
    std::uint32_t lockStatus = 0;
    link->mutex->Lock(&lockStatus);
    m_mutex.Unlock();
}

bool CVxi11Registry::Detach(std::uint32_t lid, CVxi11Link* detached)
{
    CVxi11Link probe;
    probe.lid = lid;
    std::uint32_t lockStatus = 0;
    m_srqMutex.Lock(&lockStatus);
    const bool removed = m_links.Remove(probe, detached);
    if (lockStatus == 0) {
        m_srqMutex.Unlock();
    }
    return removed;
}

void CVxi11Registry::Dispose(CVxi11Link* link)
{
    if (link->mutex != nullptr) {
        std::uint32_t lockStatus = 0;
        link->mutex->Lock(&lockStatus);
        if (lockStatus == 0) {
            link->mutex->Unlock();
        }
    }
    EngineDelete(link->mutex);
    link->mutex = nullptr;
}

std::uint32_t CVxi11Registry::CreateLink(CVxi11Client* client, bool lockDevice,
                                         std::uint32_t lockTimeout, const char* deviceName,
                                         std::uint32_t* status)
{
    std::uint32_t lockStatus = 0;
    m_mutex.Lock(&lockStatus);
    if (lockStatus != 0) {
        *status = VXI11_STATUS_FAULT;
        return 0;
    }
    CVxi11LinkInterface* target =
        deviceName != nullptr && m_directory != nullptr ? m_directory->FindInterface(deviceName)
                                                        : nullptr;
    if (target == nullptr || target->IsActive() == 0) {
        *status = VXI11_STATUS_NO_DEVICE;
        m_mutex.Unlock();
        // A name that no interface carries is the client's mistake, worth a line; an interface
        // that is closed for now (a restart) is not.
        if (target == nullptr) {
            Vxi11Log("CVxi11Registry::CreateLink, no device \"%.199s\" here (error 21)",
                     deviceName != nullptr ? deviceName : "");
        }
        return 0;
    }
    const std::uint32_t lid = DrawLid();
    CVxi11Link record(lid, target, client);
    CVxi11Link* link = nullptr;
    if (record.initFailed == 0) {
        m_srqMutex.Lock(&lockStatus);
        link = m_links.Insert(std::move(record));
        if (lockStatus == 0) {
            m_srqMutex.Unlock();
        }
    }
    if (link == nullptr) {
        *status = VXI11_STATUS_NO_MEMORY;
        m_mutex.Unlock();
        return 0;
    }
    if (!lockDevice) {
        *status = 0;
        m_mutex.Unlock();
        return lid;
    }

    COSMutex* linkMutex = link->mutex;
    Handover(link);
    *status = VXI11_STATUS_FAULT;
    target->Lock(lid, true, lockTimeout, status);
    linkMutex->Unlock();

    m_mutex.Lock(&lockStatus);
    CVxi11Link probe;
    probe.lid = lid;
    link = m_links.Find(probe);
    if (*status == 0) {
        if (link != nullptr) {
            link->lockHeld = 1;
        }
        m_mutex.Unlock();
        return lid;
    }
    // The lock was not granted: the link goes again.
    CVxi11Link detached;
    const bool found = link != nullptr && link->client == client && Detach(lid, &detached);
    m_mutex.Unlock();
    if (found) {
        Dispose(&detached);
    }
    return 0;
}

void CVxi11Registry::DestroyLink(CVxi11Client* client, std::uint32_t lid, std::uint32_t* status)
{
    CVxi11Link* link = Enter(client, lid, status);
    if (link == nullptr) {
        return;
    }
    if (link->lockHeld != 0) {
        std::uint32_t unlockStatus = VXI11_STATUS_FAULT;
        link->physicalInterface->Unlock(lid, &unlockStatus);
        link->lockHeld = 0;
    }
    m_mutex.Unlock();
    DropUnfinishedOf(lid);
    // Meanwhile the interface may have closed and taken the link with it.
    std::uint32_t lockStatus = 0;
    m_mutex.Lock(&lockStatus);
    if (lockStatus != 0) {
        *status = VXI11_STATUS_FAULT;
        return;
    }
    CVxi11Link probe;
    probe.lid = lid;
    const CVxi11Link* still = m_links.Find(probe);
    CVxi11Link detached;
    const bool found = still != nullptr && still->client == client && Detach(lid, &detached);
    m_mutex.Unlock();
    if (found) {
        Dispose(&detached);
    }
    *status = 0;
}

void CVxi11Registry::DropUnfinishedOf(std::uint32_t lid)
{
    std::uint32_t lockStatus = 0;
    m_mutex.Lock(&lockStatus);
    if (lockStatus != 0) {
        return;
    }
    CVxi11Link probe;
    probe.lid = lid;
    CVxi11Link* link = m_links.Find(probe);
    if (link == nullptr) {
        m_mutex.Unlock();
        return;
    }
    CVxi11LinkInterface* target = link->physicalInterface;
    COSMutex* linkMutex = link->mutex;
    Handover(link);
    target->DropUnfinished(lid);
    linkMutex->Unlock();
}

std::uint32_t CVxi11Registry::DeviceWrite(CVxi11Client* client, std::uint32_t lid, bool waitLock,
                                          std::uint32_t lockTimeout, bool end,
                                          std::uint32_t ioTimeout, std::uint32_t count,
                                          const std::uint8_t* data, std::uint32_t* status)
{
    CVxi11Link* link = Enter(client, lid, status);
    if (link == nullptr) {
        return 0;
    }
    CVxi11LinkInterface* target = link->physicalInterface;
    COSMutex* linkMutex = link->mutex;
    Handover(link);
    *status = VXI11_STATUS_FAULT;
    const std::uint32_t taken =
        target->Write(lid, waitLock, lockTimeout, end, ioTimeout, count, data, status);
    linkMutex->Unlock();
    return taken;
}

std::uint32_t CVxi11Registry::DeviceRead(CVxi11Client* client, std::uint32_t lid, bool waitLock,
                                         std::uint32_t lockTimeout, bool termCharSet,
                                         std::uint8_t termChar, std::uint32_t ioTimeout,
                                         std::uint32_t count, std::uint8_t* destination,
                                         std::uint32_t* reason, std::uint32_t* status)
{
    *reason = 0;
    CVxi11Link* link = Enter(client, lid, status);
    if (link == nullptr) {
        return 0;
    }
    CVxi11LinkInterface* target = link->physicalInterface;
    COSMutex* linkMutex = link->mutex;
    Handover(link);
    *status = VXI11_STATUS_FAULT;
    const std::uint32_t delivered = target->Read(lid, waitLock, lockTimeout, termCharSet, termChar,
                                                 ioTimeout, count, destination, reason, status);
    linkMutex->Unlock();
    return delivered;
}

void CVxi11Registry::DeviceReadStb(CVxi11Client* client, std::uint32_t xid, std::uint32_t lid,
                                   bool waitLock, std::uint32_t lockTimeout,
                                   std::uint32_t ioTimeout, std::uint32_t* status)
{
    CVxi11Link* link = Enter(client, lid, status);
    if (link == nullptr) {
        return;
    }
    CVxi11LinkInterface* target = link->physicalInterface;
    COSMutex* linkMutex = link->mutex;
    Handover(link);
    *status = VXI11_STATUS_FAULT;
    target->ReadStatusByte(client, xid, lid, waitLock, lockTimeout, ioTimeout, status);
    linkMutex->Unlock();
}

namespace {

using SimpleProcedure = void (CVxi11LinkInterface::*)(std::uint32_t, bool, std::uint32_t,
                                                      std::uint32_t, std::uint32_t*);

} // namespace

#define VXI11_SIMPLE_PROCEDURE(Name, Operation)                                                   \
    void CVxi11Registry::Name(CVxi11Client* client, std::uint32_t lid, bool waitLock,             \
                              std::uint32_t lockTimeout, std::uint32_t ioTimeout,                 \
                              std::uint32_t* status)                                              \
    {                                                                                             \
        CVxi11Link* link = Enter(client, lid, status);                                            \
        if (link == nullptr) {                                                                    \
            return;                                                                               \
        }                                                                                         \
        CVxi11LinkInterface* target = link->physicalInterface;                                    \
        COSMutex* linkMutex = link->mutex;                                                        \
        Handover(link);                                                                           \
        *status = VXI11_STATUS_FAULT;                                                             \
        const SimpleProcedure operation = &CVxi11LinkInterface::Operation;                        \
        (target->*operation)(lid, waitLock, lockTimeout, ioTimeout, status);                      \
        linkMutex->Unlock();                                                                      \
    }

VXI11_SIMPLE_PROCEDURE(DeviceTrigger, Trigger)
VXI11_SIMPLE_PROCEDURE(DeviceClear, Clear)
VXI11_SIMPLE_PROCEDURE(DeviceRemote, Remote)
VXI11_SIMPLE_PROCEDURE(DeviceLocal, Local)

#undef VXI11_SIMPLE_PROCEDURE

void CVxi11Registry::DeviceLock(CVxi11Client* client, std::uint32_t lid, bool waitLock,
                                std::uint32_t lockTimeout, std::uint32_t* status)
{
    CVxi11Link* link = Enter(client, lid, status);
    if (link == nullptr) {
        return;
    }
    if (link->lockHeld != 0) {
        *status = VXI11_STATUS_LOCKED;
        m_mutex.Unlock();
        return;
    }
    CVxi11LinkInterface* target = link->physicalInterface;
    COSMutex* linkMutex = link->mutex;
    Handover(link);
    *status = VXI11_STATUS_FAULT;
    target->Lock(lid, waitLock, lockTimeout, status);
    linkMutex->Unlock();
    if (*status != 0) {
        return;
    }
    // Marked once granted; only this link's own connection looks at the mark.
    std::uint32_t lockStatus = 0;
    m_mutex.Lock(&lockStatus);
    if (lockStatus != 0) {
        return;
    }
    CVxi11Link probe;
    probe.lid = lid;
    if (CVxi11Link* granted = m_links.Find(probe)) {
        granted->lockHeld = 1;
    }
    m_mutex.Unlock();
}

void CVxi11Registry::DeviceUnlock(CVxi11Client* client, std::uint32_t lid, std::uint32_t* status)
{
    CVxi11Link* link = Enter(client, lid, status);
    if (link == nullptr) {
        return;
    }
    if (link->lockHeld == 0) {
        *status = VXI11_STATUS_NOT_LOCKED;
    } else {
        *status = VXI11_STATUS_FAULT;
        link->physicalInterface->Unlock(lid, status);
        if (*status == 0) {
            link->lockHeld = 0;
        }
    }
    m_mutex.Unlock();
}

void CVxi11Registry::EnableSrq(CVxi11Client* client, std::uint32_t lid, bool enable,
                               std::uint32_t handleLength, const std::uint8_t* handle,
                               std::uint32_t* status)
{
    CVxi11Link* link = Enter(client, lid, status);
    if (link == nullptr) {
        return;
    }
    if (handleLength > CVxi11Link::kMaxHandle || (handleLength > 0 && handle == nullptr)) {
        *status = VXI11_STATUS_PARAMETER;
        m_mutex.Unlock();
        return;
    }
    std::uint32_t lockStatus = 0;
    m_srqMutex.Lock(&lockStatus);
    link->srqEnabled = enable ? 1 : 0;
    link->handleLength = handleLength;
    if (handleLength > 0) {
        std::memcpy(link->handle, handle, handleLength);
    }
    if (enable && link->srqPending != 0) {
        link->srqPending = 0;
        link->client->SendServiceRequest(link->handleLength, link->handle);
    }
    if (lockStatus == 0) {
        m_srqMutex.Unlock();
    }
    *status = 0;
    m_mutex.Unlock();
}

void CVxi11Registry::AbortLink(CVxi11Client* client, std::uint32_t lid, std::uint32_t* status)
{
    CVxi11Link* link = Enter(client, lid, status);
    if (link == nullptr) {
        return;
    }
    *status = VXI11_STATUS_FAULT;
    link->physicalInterface->Abort(lid, status);
    m_mutex.Unlock();
}

void CVxi11Registry::AbortLinksOfClient(CVxi11Client* client)
{
    std::uint32_t lockStatus = 0;
    m_mutex.Lock(&lockStatus);
    if (lockStatus != 0) {
        return;
    }
    m_links.ForEach([client](CVxi11Link& link) {
        if (link.client == client) {
            std::uint32_t status = VXI11_STATUS_FAULT;
            link.physicalInterface->LinkGoing(link.lid);
            link.physicalInterface->Abort(link.lid, &status);
        }
        return true;
    });
    m_mutex.Unlock();
}

void CVxi11Registry::NotifyServiceRequest(CVxi11LinkInterface* physicalInterface)
{
    std::uint32_t lockStatus = 0;
    m_srqMutex.Lock(&lockStatus);
    if (lockStatus != 0) {
        return;
    }
    m_links.ForEach([physicalInterface](CVxi11Link& link) {
        if (link.physicalInterface == physicalInterface) {
            if (link.srqEnabled != 0) {
                link.client->SendServiceRequest(link.handleLength, link.handle);
            } else {
                link.srqPending = 1;
            }
        }
        return true;
    });
    m_srqMutex.Unlock();
}

void CVxi11Registry::ClearServiceRequest(CVxi11LinkInterface* physicalInterface)
{
    std::uint32_t lockStatus = 0;
    m_srqMutex.Lock(&lockStatus);
    if (lockStatus != 0) {
        return;
    }
    m_links.ForEach([physicalInterface](CVxi11Link& link) {
        if (link.physicalInterface == physicalInterface) {
            link.srqPending = 0;
        }
        return true;
    });
    m_srqMutex.Unlock();
}

void CVxi11Registry::DestroyLinksOfInterface(CVxi11LinkInterface* physicalInterface)
{
    DestroyMatching(
        [physicalInterface](const CVxi11Link& link) {
            return link.physicalInterface == physicalInterface;
        },
        false);
}

void CVxi11Registry::DestroyLinksOfClient(CVxi11Client* client)
{
    DestroyMatching([client](const CVxi11Link& link) { return link.client == client; }, true);
}

void CVxi11Registry::DestroyMatching(const std::function<bool(const CVxi11Link&)>& matches,
                                     bool departing)
{
    if (departing) {
        // A connection's links: what they left unfinished goes with them, dropped while each
        // link is still registered.
        std::vector<std::uint32_t> lids;
        std::uint32_t lockStatus = 0;
        m_mutex.Lock(&lockStatus);
        if (lockStatus != 0) {
            return;
        }
        m_links.ForEach([&](CVxi11Link& link) {
            if (matches(link)) {
                lids.push_back(link.lid);
            }
            return true;
        });
        m_mutex.Unlock();
        for (const std::uint32_t lid : lids) {
            DropUnfinishedOf(lid);
        }
    }
    for (;;) {
        std::uint32_t lockStatus = 0;
        m_mutex.Lock(&lockStatus);
        if (lockStatus != 0) {
            return;
        }
        std::uint32_t lids[kBatch];
        std::uint32_t found = 0;
        m_links.ForEach([&](CVxi11Link& link) {
            if (matches(link)) {
                lids[found++] = link.lid;
            }
            return found < kBatch;
        });
        CVxi11Link detached[kBatch];
        for (std::uint32_t i = 0; i < found; ++i) {
            Detach(lids[i], &detached[i]);
            if (departing && detached[i].lockHeld != 0) {
                std::uint32_t unlockStatus = VXI11_STATUS_FAULT;
                detached[i].physicalInterface->Unlock(detached[i].lid, &unlockStatus);
                detached[i].lockHeld = 0;
            }
        }
        m_mutex.Unlock();
        for (std::uint32_t i = 0; i < found; ++i) {
            Dispose(&detached[i]);
        }
        if (found == 0) {
            return;
        }
    }
}
