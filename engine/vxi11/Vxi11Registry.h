// The process-wide table of VXI-11 links. A link binds the connection (CVxi11Client) that
// created it to one physical interface; every core- and abort-channel procedure finds its link
// here by lid, and a link is used only by its own connection. The registry serialises the
// procedures of one link (link mutex) and keeps each link's lock mark and service-request
// settings.
//
// Lock order: registry mutex, then a link mutex (taken before the registry mutex is released).
// Nothing waits for a link mutex while holding the registry mutex: a link being destroyed is
// first taken out of the tree, then its running procedure is waited for.
//
// The service-request fields (handle, SRQ enabled, SRQ pending) are guarded by a mutex of
// their own, taken after the registry mutex or a link mutex: a request is released inside a
// device_readstb, under that link's mutex. Changing the tree takes both mutexes, so the
// service-request walks need only theirs.
#pragma once

#include <cstdint>
#include <functional>

#include "engine/AvlBst.h"
#include "engine/os/OSMutex.h"
#include "engine/vxi11/Vxi11LinkInterface.h"

class CVxi11Client;

// One link. Move-only: moving hands the mutex, ids and flags over and empties the source, so
// exactly one record owns each mutex. Destroying a record destroys its mutex.
class CVxi11Link {
public:
    static constexpr std::uint32_t kMaxHandle = 40;

    CVxi11Link() = default;
    // Makes the link mutex; initFailed stays 1 when it could not be made.
    CVxi11Link(std::uint32_t lid, CVxi11LinkInterface* physicalInterface, CVxi11Client* client);
    ~CVxi11Link();
    CVxi11Link(CVxi11Link&& other) noexcept;
    CVxi11Link& operator=(CVxi11Link&& other) noexcept;
    CVxi11Link(const CVxi11Link&) = delete;
    CVxi11Link& operator=(const CVxi11Link&) = delete;

    std::uint32_t lid = 0;
    CVxi11LinkInterface* physicalInterface = nullptr;
    CVxi11Client* client = nullptr;
    COSMutex* mutex = nullptr;
    std::uint32_t handleLength = 0;
    std::uint8_t handle[kMaxHandle] = {};
    std::uint8_t lockHeld = 0;
    std::uint8_t srqEnabled = 0;
    std::uint8_t srqPending = 0;
    std::uint8_t initFailed = 1;
};

inline bool operator<(const CVxi11Link& a, const CVxi11Link& b) { return a.lid < b.lid; }

class CVxi11Registry {
public:
    // Draws lids from a generator seeded once with seed. status: 0, or 5 when the mutex could
    // not be made. The newest registry is the one Instance returns.
    CVxi11Registry(CVxi11InterfaceDirectory* directory, std::uint32_t seed, std::uint32_t* status);
    // Destroys every link; clears Instance when it is this registry.
    ~CVxi11Registry();
    CVxi11Registry(const CVxi11Registry&) = delete;
    CVxi11Registry& operator=(const CVxi11Registry&) = delete;

    static CVxi11Registry* Instance();

    // The new lid, or 0: 0x54310 no open device of that name; 0x543F0 out of memory; the
    // lock's failure when lockDevice is set (the link is then destroyed again).
    std::uint32_t CreateLink(CVxi11Client* client, bool lockDevice, std::uint32_t lockTimeout,
                             const char* deviceName, std::uint32_t* status);
    void DestroyLink(CVxi11Client* client, std::uint32_t lid, std::uint32_t* status);

    std::uint32_t DeviceWrite(CVxi11Client* client, std::uint32_t lid, bool waitLock,
                              std::uint32_t lockTimeout, bool end, std::uint32_t ioTimeout,
                              std::uint32_t count, const std::uint8_t* data, std::uint32_t* status);
    std::uint32_t DeviceRead(CVxi11Client* client, std::uint32_t lid, bool waitLock,
                             std::uint32_t lockTimeout, bool termCharSet, std::uint8_t termChar,
                             std::uint32_t ioTimeout, std::uint32_t count,
                             std::uint8_t* destination, std::uint32_t* reason,
                             std::uint32_t* status);
    void DeviceReadStb(CVxi11Client* client, std::uint32_t xid, std::uint32_t lid, bool waitLock,
                       std::uint32_t lockTimeout, std::uint32_t ioTimeout, std::uint32_t* status);
    void DeviceTrigger(CVxi11Client* client, std::uint32_t lid, bool waitLock,
                       std::uint32_t lockTimeout, std::uint32_t ioTimeout, std::uint32_t* status);
    void DeviceClear(CVxi11Client* client, std::uint32_t lid, bool waitLock,
                     std::uint32_t lockTimeout, std::uint32_t ioTimeout, std::uint32_t* status);
    void DeviceRemote(CVxi11Client* client, std::uint32_t lid, bool waitLock,
                      std::uint32_t lockTimeout, std::uint32_t ioTimeout, std::uint32_t* status);
    void DeviceLocal(CVxi11Client* client, std::uint32_t lid, bool waitLock,
                     std::uint32_t lockTimeout, std::uint32_t ioTimeout, std::uint32_t* status);
    void DeviceLock(CVxi11Client* client, std::uint32_t lid, bool waitLock,
                    std::uint32_t lockTimeout, std::uint32_t* status);
    void DeviceUnlock(CVxi11Client* client, std::uint32_t lid, std::uint32_t* status);
    void EnableSrq(CVxi11Client* client, std::uint32_t lid, bool enable,
                   std::uint32_t handleLength, const std::uint8_t* handle, std::uint32_t* status);
    void AbortLink(CVxi11Client* client, std::uint32_t lid, std::uint32_t* status);
    // Aborts the running or waiting procedure of every link of client (its connection is
    // being stopped or its peer has gone): what those links are owed goes to nobody first.
    void AbortLinksOfClient(CVxi11Client* client);

    // The interface's service request was asserted / released.
    void NotifyServiceRequest(CVxi11LinkInterface* physicalInterface);
    void ClearServiceRequest(CVxi11LinkInterface* physicalInterface);

    // The interface closes / the connection ends: its links go.
    void DestroyLinksOfInterface(CVxi11LinkInterface* physicalInterface);
    void DestroyLinksOfClient(CVxi11Client* client);

    std::uint32_t LinkCount();

private:
    using LinkTree = Korvex::CAvlBst<CVxi11Link, 32ul>;

    // Locks the registry and finds the caller's link. On success the registry stays locked;
    // else status 0x54390 (or 0x543FF) and it is unlocked.
    CVxi11Link* Enter(CVxi11Client* client, std::uint32_t lid, std::uint32_t* status);
    // Takes the link's mutex and releases the registry: the procedure may run.
    void Handover(CVxi11Link* link);
    // Drops what lid left unfinished while the link is still registered and its mutex held,
    // so that an interface closing meanwhile waits for it before it goes.
    void DropUnfinishedOf(std::uint32_t lid);
    // Moves the link out of the tree into detached (registry locked); false when not found.
    bool Detach(std::uint32_t lid, CVxi11Link* detached);
    // Waits for the detached link's running procedure, then destroys its mutex (registry
    // unlocked).
    static void Dispose(CVxi11Link* link);
    // Detaches and disposes of every link that matches, in batches; departing (a
    // connection ended): their locks are released and what they left unfinished dropped.
    void DestroyMatching(const std::function<bool(const CVxi11Link&)>& matches, bool departing);
    std::uint32_t DrawLid();

    COSMutex m_mutex;
    COSMutex m_srqMutex;
    LinkTree m_links;
    CVxi11InterfaceDirectory* m_directory;
    unsigned int m_seed;
};
