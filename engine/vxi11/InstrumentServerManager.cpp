#include "engine/vxi11/InstrumentServerManager.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <sys/time.h>

#include <cerrno>
#include <cstdio>
#include <chrono>
#include <cstring>
#include <thread>

#include "engine/os/Allocator.h"
#include "engine/vxi11/InstrumentServer.h"
#include "engine/vxi11/Vxi11Log.h"
#include "engine/vxi11/Vxi11PhysicalInterfaceManager.h"

namespace {

constexpr std::uint32_t kProtocolTcp = 6;
constexpr std::uint32_t kNotPresent = 0x54393;
constexpr std::uint32_t kRegistered = 0x54311;

// Accept failures that say nothing about the listener.
bool Transient(int error) {
    switch (error) {
        case EINTR:
        case ECONNABORTED:
        case EPROTO:
        case EPERM:
            return true;
        default:
            return false;
    }
}

// True unless a connection to address:port is refused (or fails otherwise) within boundMs:
// something listens there.
bool Listening(std::uint32_t address, std::uint32_t port, std::uint32_t boundMs) {
    COSSocket probe;
    std::uint32_t status = 0;
    probe.CreateTcp(&status);
    if (status != 0) {
        return true;  // cannot tell: the registration is left alone
    }
    timeval bound{};
    bound.tv_sec = boundMs / 1000;
    bound.tv_usec = (boundMs % 1000) * 1000;
    setsockopt(probe.Descriptor(), SOL_SOCKET, SO_SNDTIMEO, &bound, sizeof(bound));
    probe.Connect(address, static_cast<std::uint16_t>(port), &status);
    if (status == 0) {
        return true;
    }
    return errno != ECONNREFUSED;
}

// Accept failures for want of descriptors or memory: worth a pause before the next try.
bool ResourceShortage(int error) {
    return error == EMFILE || error == ENFILE || error == ENOBUFS || error == ENOMEM;
}

}  // namespace

CInstrumentServerManager::CInstrumentServerManager(CVxi11PhysicalInterfaceManager* interfaces,
                                                   std::uint32_t bindAddress, std::uint16_t portMapperPort)
    : m_interfaces(interfaces), m_client(bindAddress, portMapperPort) {
    if (m_listMutex.InitFailed() != 0) {
        m_cause = "no mutex for the connection list";
        return;
    }
    m_watcher = EngineNew<CVxi11PeerWatcher>();
    if (m_watcher == nullptr || m_watcher->InitFailed() != 0) {
        m_cause = "cannot start the connection watcher";
        return;
    }
    std::uint32_t status = 0;
    m_listener.CreateTcp(&status);
    if (status == 0) {
        m_listener.Listen(bindAddress, 0, &status);
    }
    if (status != 0) {
        const int error = errno;
        m_listener.Close();
        std::snprintf(m_causeText, sizeof(m_causeText), "cannot listen for the core channel: %s",
                      std::strerror(error));
        m_cause = m_causeText;
        return;
    }
    Start(kPriority, &status);
    m_threadStarted = status == 0;
    if (!m_threadStarted) {
        m_cause = "cannot start the accept thread";
        return;
    }
    Register(bindAddress, portMapperPort);
}

void CInstrumentServerManager::Register(std::uint32_t bindAddress, std::uint16_t portMapperPort) {
    std::uint32_t status = 0;
    std::uint32_t registeredPort = 0;
    CMiniPortMapper::GetPort(m_client, kCoreProgram, kCoreVersion, kProtocolTcp, &status, &registeredPort);
    if (status == kRegistered && !Listening(m_client.targetAddress, registeredPort, m_client.boundMs)) {
        // Left by a server that died without withdrawing it (the system's portmapper outlives
        // the firmware): nothing serves there any more.
        Vxi11Log("Removing stale registration of %u (port %u)", static_cast<unsigned>(kCoreProgram),
                 static_cast<unsigned>(registeredPort));
        CMiniPortMapper::Unset(m_client, kCoreProgram, kCoreVersion, registeredPort, &status);
        if (status != 0) {
            m_cause = "portmapper refused to remove the stale registration of 395183";
            return;
        }
    }
    if (status == kNotPresent) {
        m_mapper = EngineNew<CMiniPortMapper>(bindAddress, Port(), &status, portMapperPort,
                                              CMiniPortMapper::kIdleMs, false);
        if (m_mapper == nullptr) {
            m_cause = "out of memory for the portmapper";
        } else if (status != 0) {
            EngineDelete(m_mapper);
            m_mapper = nullptr;
            m_cause = portMapperPort == CMiniPortMapper::kPort ? "port 111 unavailable"
                                                                : "portmapper port unavailable";
        } else {
            m_initFailed = 0;
        }
        return;
    }
    if (status == kRegistered) {
        std::snprintf(m_causeText, sizeof(m_causeText), "395183 already registered, and served on port %u",
                      static_cast<unsigned>(registeredPort));
        m_cause = m_causeText;
        return;
    }
    if (status != 0) {
        m_cause = "portmapper gave no usable answer";
        return;
    }
    m_registerPending = true;
    m_initFailed = 0;
}

void CInstrumentServerManager::Announce() {
    if (m_initFailed != 0 || m_announced.exchange(true)) {
        return;
    }
    if (m_mapper != nullptr) {
        m_mapper->Announce();
        return;
    }
    if (!m_registerPending) {
        return;
    }
    std::uint32_t status = 0;
    CMiniPortMapper::Unset(m_client, kCoreProgram, kCoreVersion, Port(), &status);
    if (status == 0) {
        CMiniPortMapper::Set(m_client, kCoreProgram, kCoreVersion, kProtocolTcp, Port(), &status);
    }
    if (status != 0) {
        Vxi11Log("CInstrumentServerManager::Announce, the portmapper refused the registration (%#x)",
                 static_cast<unsigned>(status));
        return;
    }
    m_registered = true;
}

CInstrumentServerManager::~CInstrumentServerManager() {
    if (m_mapper != nullptr) {
        EngineDelete(m_mapper);
        m_mapper = nullptr;
    } else if (m_registered) {
        std::uint32_t status = 0;
        CMiniPortMapper::Unset(m_client, kCoreProgram, kCoreVersion, Port(), &status);
    }
    std::uint32_t status = 0;
    if (m_threadStarted) {
        SetState(3);
        m_listener.Interrupt();
        Stop(&status);
    }
    m_listener.Close();
    m_listMutex.Lock(&status);
    SNode* chain = m_servers;
    m_servers = nullptr;
    if (status == 0) {
        m_listMutex.Unlock();
    }
    DeleteChain(chain);
    EngineDelete(m_watcher);
}

void CInstrumentServerManager::Run() {
    SetState(1);
    NotifyStarted();
    int lastLogged = 0;
    for (;;) {
        COSSocket accepted;
        std::uint32_t status = 0;
        accepted.Accept(m_listener, &status);
        const int error = errno;
        if (GetState() == 3) {
            return;
        }
        if (status == 0) {
            lastLogged = 0;
            Serve(accepted);
            ReapEnded();
            continue;
        }
        if (!Transient(error) && !ResourceShortage(error)) {
            Vxi11Log("CInstrumentServerManager::Run, accept failed for good (%s); no more VXI-11 connections",
                     std::strerror(error));
            m_interfaces->NotifyAll(kAcceptFailedEvent);
            return;
        }
        if (error != lastLogged) {
            Vxi11Log("CInstrumentServerManager::Run, accept failed (%s); still accepting", std::strerror(error));
            lastLogged = error;
        }
        if (ResourceShortage(error)) {
            std::this_thread::sleep_for(std::chrono::milliseconds(kResourcePauseMs));
        }
    }
}

void CInstrumentServerManager::Serve(COSSocket& accepted) {
    const int on = 1;
    setsockopt(accepted.Descriptor(), IPPROTO_TCP, TCP_NODELAY, &on, sizeof(on));
    CInstrumentServer* server = EngineNew<CInstrumentServer>(this, accepted);
    if (server != nullptr && server->InitFailed() == 0) {
        return;
    }
    Vxi11Log("CInstrumentServerManager::Run, connection from port %u could not be set up (%s); closed",
             static_cast<unsigned>(accepted.PeerPort()), server == nullptr ? "out of memory" : "no resources");
    EngineDelete(server);
    accepted.Close();
}

void CInstrumentServerManager::AddServer(CInstrumentServer* server, std::uint32_t* status) {
    auto* node = static_cast<SNode*>(EngineAllocate(sizeof(SNode)));
    if (node == nullptr) {
        *status = 0x543F0;
        return;
    }
    m_listMutex.Lock(status);
    if (*status != 0) {
        EngineFree(node);
        return;
    }
    node->alive = 1;
    node->server = server;
    node->next = m_servers;
    m_servers = node;
    m_listMutex.Unlock();
}

void CInstrumentServerManager::MarkServerEnded(CInstrumentServer* server, std::uint32_t* status) {
    m_listMutex.Lock(status);
    if (*status != 0) {
        return;
    }
    for (SNode* node = m_servers; node != nullptr; node = node->next) {
        if (node->server == server) {
            node->alive = 0;
        }
    }
    m_listMutex.Unlock();
}

void CInstrumentServerManager::StopServer(CInstrumentServer* server) { server->StopConnection(); }

std::uint32_t CInstrumentServerManager::ServerCount() {
    std::uint32_t status = 0;
    m_listMutex.Lock(&status);
    if (status != 0) {
        return 0;
    }
    std::uint32_t count = 0;
    for (SNode* node = m_servers; node != nullptr; node = node->next) {
        ++count;
    }
    m_listMutex.Unlock();
    return count;
}

void CInstrumentServerManager::ReapEnded() {
    std::uint32_t status = 0;
    m_listMutex.Lock(&status);
    if (status != 0) {
        return;
    }
    SNode* ended = nullptr;
    for (SNode** link = &m_servers; *link != nullptr;) {
        SNode* node = *link;
        if (node->alive == 0) {
            *link = node->next;
            node->next = ended;
            ended = node;
        } else {
            link = &node->next;
        }
    }
    m_listMutex.Unlock();
    DeleteChain(ended);
}

void CInstrumentServerManager::DeleteChain(SNode* chain) {
    while (chain != nullptr) {
        SNode* next = chain->next;
        StopServer(chain->server);
        EngineDelete(chain->server);
        EngineFree(chain);
        chain = next;
    }
}
