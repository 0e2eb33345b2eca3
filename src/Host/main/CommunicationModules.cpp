#include "Host/main/CommunicationModules.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <initializer_list>
#include <mutex>
#include <string>
#include <thread>
#include <utility>

#include "Host/main/KorvexHostEthernet.h"
#include "Host/main/KorvexHostUsb.h"
#include "Host/main/KorvexNetworkThread.h"
#include "Host/main/nbns/NbnsService.h"
#include "Host/parameters/Bindings.h"
#include "Host/parameters/Logger.h"
#include "Host/parameters/ParameterNode.h"
#include "Host/parameters/Thread.h"
#include "Host/scpi/parser/KorvexHostParser.h"
#include "engine/api/ZoDeviceApi.h"
#include "platform/kernel/Kernel.h"

namespace Korvex {

namespace {

constexpr const char* NbnsComment = "Vantrell Korvex";
constexpr auto ReplyReadLimit = std::chrono::seconds(2);
constexpr kernel::tick_t NbnsSettleTicks = 500;

bool ReadBool(CParameterNode* node)
{
    CRecursiveLock tree(ParameterTreeLock());
    return CParameterNode::GetBooleanAttribute(node, eAttrValue);
}

void* ReadPointer(CParameterNode* node)
{
    CRecursiveLock tree(ParameterTreeLock());
    return CParameterNode::GetPointerAttribute(node, eAttrValue);
}

std::string ReadString(CParameterNode* node)
{
    CRecursiveLock tree(ParameterTreeLock());
    return CParameterNode::GetStringAttribute(node, eAttrValue);
}

std::int32_t ReadInt(CParameterNode* node)
{
    CRecursiveLock tree(ParameterTreeLock());
    return CParameterNode::GetInt32Attribute(node, eAttrValue);
}

// host_if/communication/vxi11_object and usbtmc_object hold their host as a CKorvexHost, the
// identity that commands compare with the requesting host.
template <typename Host>
Host* ModuleHost(CParameterNode* objectNode)
{
    auto* host = static_cast<CKorvexHost*>(ReadPointer(objectNode));
    return host != nullptr ? static_cast<Host*>(host) : nullptr;
}

CKorvexHostEthernet* Vxi11Host() { return ModuleHost<CKorvexHostEthernet>(g_pVxi11Object); }
CKorvexHostUsb* UsbHost() { return ModuleHost<CKorvexHostUsb>(g_pUsbtmcObject); }

void SetModuleHost(CParameterNode* objectNode, CKorvexHost* host)
{
    CParameterNode::SetValue(objectNode, static_cast<void*>(host));
}

// Whether host is the running host of the VXI-11 or of the USB module.
bool IsModuleHost(const CKorvexHost* host)
{
    return host != nullptr && (host == static_cast<CKorvexHost*>(Vxi11Host()) ||
                               host == static_cast<CKorvexHost*>(UsbHost()));
}

// Communication mutex held. The object node is cleared, the device closed (after the
// callback that runs), the host released at the parser, the engine server stopped, and the
// host freed, by the parser after its message when a message of that host is running.
void StopModule(CKorvexEngineHost* host, CParameterNode* objectNode, void (*stopServer)())
{
    SetModuleHost(objectNode, nullptr);
    host->Close();
    CKorvexHostParser* parser = host->TargetParser();
    if (parser != nullptr) parser->ReleaseHost(host);
    stopServer();
    if (parser == nullptr || !parser->HandOverHost(host)) delete static_cast<CKorvexHost*>(host);
}

// Communication mutex held.
void StartTcpIpModule()
{
    Logger().Printf("Starting the TCP/IP SCPI module\n");
    zo_device_start_tcpip_server();
    SetModuleHost(g_pVxi11Object, new CKorvexHostEthernet(PublishedParser()));
}

// Communication mutex held.
void StopTcpIpModule(CKorvexHostEthernet* host)
{
    Logger().Printf("Stopping TCP/IP SCPI module.\n");
    StopModule(host, g_pVxi11Object, [] { zo_device_stop_tcpip_server(); });
}

// Communication mutex held.
void StartUsbModule()
{
    Logger().Printf("Starting the USB SCPI module\n");
    zo_device_start_usb_server();
    char serial[16];
    std::snprintf(serial, sizeof serial, "%07d", static_cast<int>(ReadInt(g_pSystemSerialNo)));
    const auto vendorId = static_cast<std::uint16_t>(ReadInt(g_pUsbVendorId));
    const auto productId = static_cast<std::uint16_t>(ReadInt(g_pUsbProductId));
    const auto versionBcd = static_cast<std::uint16_t>(ReadInt(g_pUsbVersionBcd));
    SetModuleHost(g_pUsbtmcObject,
                  new CKorvexHostUsb(PublishedParser(), vendorId, productId, versionBcd,
                                     ReadString(g_pSystemManufacturer), ReadString(g_pSystemModel),
                                     serial));
}

// Communication mutex held.
void StopUsbModule(CKorvexHostUsb* host)
{
    Logger().Printf("Stopping USB SCPI module.\n");
    StopModule(host, g_pUsbtmcObject, [] { zo_device_stop_usb_server(); });
}

// Waits until the queued reply of each of hosts has been read (or that host is no longer a
// module's host), or the limit has passed.
void WaitForRepliesRead(std::initializer_list<const CKorvexHost*> hosts)
{
    const auto end = std::chrono::steady_clock::now() + ReplyReadLimit;
    for (;;) {
        {
            CRecursiveLock comm(CommunicationMutex());
            if (std::none_of(hosts.begin(), hosts.end(), [](const CKorvexHost* host) {
                    return IsModuleHost(host) && host->PendingResponse() != nullptr;
                }))
                return;
        }
        if (std::chrono::steady_clock::now() >= end) return;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
}

// Bumped, under the communication mutex, by every stop or start of the name service: a
// settle armed for an earlier start concludes nothing.
std::atomic<unsigned> nbnsGeneration{0};
std::atomic<bool> shuttingDown{false};

// Waits out the 5 s after a start of the name service, then sets nbns_active when no station
// refused the name. Holds no lock while it waits.
class CNbnsSettle : public CThread {
public:
    CNbnsSettle() : CThread(15, "nbns settle", 8192) {}

    void Arm(unsigned generation, kernel::tick_t deadline)
    {
        {
            std::lock_guard<std::mutex> hold(mutex);
            armed = true;
            armedGeneration = generation;
            armedDeadline = deadline;
        }
        changed.notify_all();
    }

    void Cut()
    {
        {
            std::lock_guard<std::mutex> hold(mutex);
            armed = false;
        }
        changed.notify_all();
    }

protected:
    void ThreadMain() override
    {
        for (;;) {
            std::unique_lock<std::mutex> hold(mutex);
            changed.wait(hold, [this] { return armed; });
            const kernel::tick_t now = kernel::current_time();
            if (now < armedDeadline) {
                const double ms = static_cast<double>(armedDeadline - now) * kernel::tick_ms();
                changed.wait_for(hold, std::chrono::microseconds(static_cast<std::int64_t>(ms * 1000.0) + 1));
                continue;  // looks again: cut, armed anew, or the time has come
            }
            armed = false;
            const unsigned generation = armedGeneration;
            hold.unlock();
            CRecursiveLock comm(CommunicationMutex());
            if (generation == nbnsGeneration.load() && !shuttingDown.load() && g_pNbnsActive != nullptr)
                CParameterNode::SetValue(g_pNbnsActive, !nbns::nbns_conflict());
        }
    }

private:
    std::mutex mutex;
    std::condition_variable changed;
    bool armed = false;
    unsigned armedGeneration = 0;
    kernel::tick_t armedDeadline = 0;
};

// Made on first use and kept for the life of the process.
CNbnsSettle& NbnsSettle()
{
    static CNbnsSettle* settle = [] {
        auto* s = new CNbnsSettle;
        s->Start();
        return s;
    }();
    return *settle;
}

}  // namespace

CKorvexHostParser* PublishedParser()
{
    return static_cast<CKorvexHostParser*>(ReadPointer(g_pScpiParserObject));
}

void KorvexBeginShutdown()
{
    shuttingDown.store(true);
    NbnsSettle().Cut();
}

void KorvexEndShutdown() { shuttingDown.store(false); }

void KorvexWaitForRepliesRead()
{
    const CKorvexHost* vxi11 = nullptr;
    const CKorvexHost* usb = nullptr;
    {
        CRecursiveLock comm(CommunicationMutex());
        vxi11 = Vxi11Host();
        usb = UsbHost();
    }
    WaitForRepliesRead({vxi11, usb});
}

CRecursiveMutex& CommunicationMutex()
{
    static CRecursiveMutex* mutex = new CRecursiveMutex;
    return *mutex;
}

bool KorvexDeferPastMessageOf(const CKorvexHost* host, std::function<void()> action)
{
    CKorvexHostParser* parser = PublishedParser();
    if (parser == nullptr || host == nullptr) return false;
    CKorvexHost* own = parser->MessageHost();
    if (own != host) return false;
    return parser->RunAfterMessage([own, action = std::move(action)] {
        WaitForRepliesRead({own});
        action();
    });
}

bool KorvexDeferPastOwnMessage(std::function<void()> action)
{
    return KorvexDeferPastMessageOf(Vxi11Host(), std::move(action));
}

void KorvexOnEthernetEnabledChanged(CParameterNode* node, int event, void*)
{
    if (event != 0 || node != g_pEthernetEnabled) return;
    CRecursiveLock comm(CommunicationMutex());
    if (!KorvexDeferPastOwnMessage(&KorvexStartNetworkThread)) KorvexStartNetworkThread();
}

void KorvexOnEthernetActiveChanged(CParameterNode* node, int event, void*)
{
    if (event != 0 || node != g_pEthernetActive) return;
    CRecursiveLock comm(CommunicationMutex());
    KorvexUpdateTcpIpScpiModule(g_pVxi11Enabled, 0, nullptr);
    KorvexUpdateNbns(g_pEthernetDomain, 0, nullptr);
}

void KorvexUpdateTcpIpScpiModule(CParameterNode* node, int event, void*)
{
    if (event != 0 || node != g_pVxi11Enabled) return;
    CRecursiveLock comm(CommunicationMutex());
    const bool wanted = ReadBool(g_pEthernetActive) && ReadBool(g_pVxi11Enabled);
    CKorvexHostEthernet* current = Vxi11Host();
    if (!wanted && current != nullptr) {
        if (KorvexDeferPastOwnMessage([] { KorvexUpdateTcpIpScpiModule(g_pVxi11Enabled, 0, nullptr); }))
            return;
        StopTcpIpModule(current);
    } else if (wanted && current == nullptr) {
        StartTcpIpModule();
    }
}

void KorvexUpdateUsbScpiModule(CParameterNode* node, int event, void*)
{
    if (event != 0 || node != g_pUsbtmcEnabled) return;
    CRecursiveLock comm(CommunicationMutex());
    const bool wanted = ReadBool(g_pUsbtmcEnabled);
    CKorvexHostUsb* current = UsbHost();
    if (!wanted && current != nullptr) {
        if (KorvexDeferPastMessageOf(current, [] { KorvexUpdateUsbScpiModule(g_pUsbtmcEnabled, 0, nullptr); }))
            return;
        StopUsbModule(current);
    } else if (wanted && current == nullptr) {
        StartUsbModule();
    }
}

void KorvexUpdateNbns(CParameterNode*, int, void*)
{
    CRecursiveLock comm(CommunicationMutex());
    const unsigned generation = ++nbnsGeneration;
    // A service thread that runs although nbns_active is false (its start met a refusal of
    // the name, or has not settled yet) is stopped too: only one can run.
    if (ReadBool(g_pNbnsActive) || nbns::nbns_thread_exists()) {
        Logger().Printf("Stopping NBNS...\n");
        nbns::nbns_stop();
        CParameterNode::SetValue(g_pNbnsActive, false);
    }
    if (ReadBool(g_pEthernetActive) && ReadBool(g_pNbnsEnabled)) {
        const std::string host = ReadString(g_pEthernetId);
        const std::string domain = ReadString(g_pEthernetDomain);
        Logger().Printf("Starting NBNS: host = %s, domain = %s, comment = %s\n", host.c_str(),
                        domain.c_str(), NbnsComment);
        // The 5-s wait for a refusal of the name is the settle thread's: a shut-down, a
        // restart or a settings change never waits behind it.
        if (nbns::nbns_launch(host.c_str(), domain.c_str(), NbnsComment) == 0)
            NbnsSettle().Arm(generation, kernel::current_time() + NbnsSettleTicks);
    }
}

}  // namespace Korvex
