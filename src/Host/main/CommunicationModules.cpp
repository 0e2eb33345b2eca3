#include "Host/main/CommunicationModules.h"

#include <chrono>
#include <cstdio>
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
#include "Host/scpi/parser/KorvexHostParser.h"
#include "engine/api/ZoDeviceApi.h"

namespace Korvex {

namespace {

constexpr const char* NbnsComment = "Vantrell Korvex";
constexpr auto ReplyReadLimit = std::chrono::seconds(2);

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

CKorvexHostParser* PublishedParser()
{
    return static_cast<CKorvexHostParser*>(ReadPointer(g_pScpiParserObject));
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

// Waits until host's queued reply has been read, host is no longer a module's host, or the
// limit has passed.
void WaitForReplyRead(const CKorvexHost* host)
{
    const auto end = std::chrono::steady_clock::now() + ReplyReadLimit;
    for (;;) {
        {
            CRecursiveLock comm(CommunicationMutex());
            if (!IsModuleHost(host) || host->PendingResponse() == nullptr) return;
        }
        if (std::chrono::steady_clock::now() >= end) return;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
}

}  // namespace

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
        WaitForReplyRead(own);
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
    // A service thread that runs although nbns_active is false (its start met a refusal of
    // the name) is stopped too: only one can run.
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
        const int result = nbns::nbns_start(host.c_str(), domain.c_str(), NbnsComment);
        CParameterNode::SetValue(g_pNbnsActive, result == 0);
    }
}

}  // namespace Korvex
