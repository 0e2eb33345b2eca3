// The VXI-11 server's listener: owns the core channel's TCP socket (on the server's address,
// a port of the system's choosing), makes the core channel known to the portmapper on the
// instrument (or starts the mini portmapper when none answers) and accepts controller
// connections, each served by a CInstrumentServer of its own. The core channel is announced
// (registered, or answered by the mini portmapper) only when Announce is called, once an
// interface accepts links: a controller never finds a port where create_link would fail.
//
// The accept loop survives what a client can cause: transient accept failures (a peer that
// gave up, descriptors or memory exhausted) are logged and retried, after a pause on
// resource shortage, and a connection that cannot be set up is closed and logged. Only a stop,
// or a listener that fails for good (device event 53 to every interface), ends it.
//
// Finished connections are reaped at the next accepted connection. Stopping interrupts
// sockets and waits for threads before anything is closed or deleted, and never waits while
// holding the list mutex.
#pragma once

#include <atomic>
#include <cstdint>

#include "engine/os/OSMutex.h"
#include "engine/os/OSSocket.h"
#include "engine/os/OSThread.h"
#include "engine/vxi11/MiniPortMapper.h"
#include "engine/vxi11/Vxi11PeerWatcher.h"

class CInstrumentServer;
class CVxi11PhysicalInterfaceManager;

class CInstrumentServerManager : public COSThread {
public:
    static constexpr std::uint32_t kPriority = 15;
    static constexpr std::uint32_t kCoreProgram = 0x0607AF;
    static constexpr std::uint32_t kCoreVersion = 1;
    static constexpr std::uint32_t kAcceptFailedEvent = 53;
    static constexpr std::uint32_t kResourcePauseMs = 100;

    // Listens on bindAddress (host order), starts the accept thread and registers with the
    // portmapper at bindAddress:portMapperPort (or serves one there). InitFailed() stays 1 on
    // any failure, with FailureCause() naming it.
    CInstrumentServerManager(CVxi11PhysicalInterfaceManager* interfaces, std::uint32_t bindAddress,
                             std::uint16_t portMapperPort = CMiniPortMapper::kPort);
    // Withdraws the registration (or ends the mini portmapper), stops the accept thread, then
    // stops and deletes every connection.
    ~CInstrumentServerManager() override;
    CInstrumentServerManager(const CInstrumentServerManager&) = delete;
    CInstrumentServerManager& operator=(const CInstrumentServerManager&) = delete;

    std::uint8_t InitFailed() const { return m_initFailed; }
    const char* FailureCause() const { return m_cause; }
    std::uint16_t Port() const { return m_listener.LocalPort(); }
    bool ServesPortMapper() const { return m_mapper != nullptr; }
    // Makes the core channel known: the mini portmapper starts answering for it, or the
    // program is registered with the system's portmapper. Once; later calls do nothing.
    void Announce();
    // Notices peers that hang up while their connection waits in a procedure.
    CVxi11PeerWatcher* Watcher() const { return m_watcher; }

    // Used by the connection threads. AddServer: 0x543F0 when the node cannot be allocated.
    void AddServer(CInstrumentServer* server, std::uint32_t* status);
    void MarkServerEnded(CInstrumentServer* server, std::uint32_t* status);
    // Ends a connection from outside and waits for its thread.
    static void StopServer(CInstrumentServer* server);
    // Connections in the list (ended ones not yet reaped included).
    std::uint32_t ServerCount();

protected:
    void Run() override;

private:
    struct SNode {
        std::uint8_t alive;
        CInstrumentServer* server;
        SNode* next;
    };

    void Register(std::uint32_t bindAddress, std::uint16_t portMapperPort);
    // Serves one accepted connection (or closes it).
    void Serve(COSSocket& accepted);
    // Stops, deletes and frees the nodes of a detached chain.
    static void DeleteChain(SNode* chain);
    void ReapEnded();

    CVxi11PhysicalInterfaceManager* m_interfaces;
    std::uint8_t m_initFailed = 1;
    const char* m_cause = "";
    char m_causeText[96] = "";  // a cause that names a port or a system error
    COSSocket m_listener;
    CPortMapperClient m_client;
    CMiniPortMapper* m_mapper = nullptr;
    CVxi11PeerWatcher* m_watcher = nullptr;
    std::atomic<bool> m_registered{false};
    bool m_registerPending = false;  // the system's portmapper is to learn the port at Announce
    std::atomic<bool> m_announced{false};
    bool m_threadStarted = false;
    COSMutex m_listMutex;
    SNode* m_servers = nullptr;
};
