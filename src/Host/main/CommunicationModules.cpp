#include "Host/main/CommunicationModules.h"

#include <chrono>
#include <string>
#include <thread>
#include <utility>

#include "Host/main/KorvexHostEthernet.h"
#include "Host/main/KorvexNetworkThread.h"
#include "Host/main/SystemSeams.h"
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

CKorvexHostParser* PublishedParser()
{
    return static_cast<CKorvexHostParser*>(ReadPointer(g_pScpiParserObject));
}

// host_if/communication/vxi11_object holds the host as a CKorvexHost, the identity that
// commands compare with the requesting host.
CKorvexHostEthernet* Vxi11Host()
{
    auto* host = static_cast<CKorvexHost*>(ReadPointer(g_pVxi11Object));
    return host != nullptr ? static_cast<CKorvexHostEthernet*>(host) : nullptr;
}

void SetVxi11Host(CKorvexHostEthernet* host)
{
    CParameterNode::SetValue(g_pVxi11Object, static_cast<void*>(static_cast<CKorvexHost*>(host)));
}

// Communication mutex held.
void StartTcpIpModule()
{
    Logger().Printf("Starting the TCP/IP SCPI module\n");
    zo_device_start_tcpip_server();
    SetVxi11Host(new CKorvexHostEthernet(PublishedParser()));
}

// Communication mutex held.
void StopTcpIpModule(CKorvexHostEthernet* host)
{
    Logger().Printf("Stopping TCP/IP SCPI module.\n");
    SetVxi11Host(nullptr);
    host->Close();
    CKorvexHostParser* parser = host->TargetParser();
    if (parser != nullptr) parser->ReleaseHost(host);
    zo_device_stop_tcpip_server();
    if (parser == nullptr || !parser->HandOverHost(host)) delete host;
}

// Waits until host's queued reply has been read, host is no longer the VXI-11 host, or the
// limit has passed.
void WaitForReplyRead(const CKorvexHost* host)
{
    const auto end = std::chrono::steady_clock::now() + ReplyReadLimit;
    for (;;) {
        {
            CRecursiveLock comm(CommunicationMutex());
            if (static_cast<CKorvexHost*>(Vxi11Host()) != host || host->PendingResponse() == nullptr)
                return;
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

bool KorvexDeferPastOwnMessage(std::function<void()> action)
{
    CKorvexHostParser* parser = PublishedParser();
    if (parser == nullptr) return false;
    CKorvexHost* own = parser->MessageHost();
    if (own == nullptr || own != static_cast<CKorvexHost*>(Vxi11Host())) return false;
    return parser->RunAfterMessage([own, action = std::move(action)] {
        WaitForReplyRead(own);
        action();
    });
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
    CSystemSeams::Instance().UpdateUsbModule();
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
