#include "engine/api/ZoDeviceApi.h"

#include "engine/api/EngineRegistries.h"
#include "engine/api/FunctionCallInterface.h"
#include "engine/api/ZoDeviceInterface.h"
#include "engine/os/Allocator.h"
#include "engine/os/OSMutex.h"
#include "engine/session/DeviceSession.h"
#include "engine/session/DeviceSessionTable.h"
#include "engine/session/PhysicalInterface.h"
#include "engine/session/PhysicalInterfaceFactory.h"
#include "engine/status/EngineStatus.h"

namespace Korvex {

namespace {

constexpr std::uint32_t kServerKinds = 3;

// Serialises the top-level functions.
COSMutex g_engineMutex;

CDeviceRegistry* g_deviceRegistry = nullptr;
CServerRegistry* g_serverRegistry = nullptr;
CDeviceSessionTable* g_sessionTable = nullptr;

ZoServerBuilder g_builders[kServerKinds] = {};
bool g_running[kServerKinds] = {};

class CEngineLock {
public:
    CEngineLock() { g_engineMutex.Lock(&m_status); }
    ~CEngineLock()
    {
        if (m_status == 0) {
            g_engineMutex.Unlock();
        }
    }
    CEngineLock(const CEngineLock&) = delete;
    CEngineLock& operator=(const CEngineLock&) = delete;
    bool Held() const { return m_status == 0; }

private:
    std::uint32_t m_status = 0;
};

void StopServer(std::uint32_t kind)
{
    if (g_running[kind]) {
        if (g_builders[kind].stop != nullptr) {
            g_builders[kind].stop();
        }
        g_running[kind] = false;
    }
}

// Interface objects go first: their observers and their session handles use the
// sessions and the registries.
void StopEverything()
{
    StopServer(kServerKindVxi11);
    StopServer(kServerKindUsb);
    if (g_deviceRegistry != nullptr) {
        for (CZoDeviceInterface* deviceInterface = g_deviceRegistry->TakeFirst();
             deviceInterface != nullptr; deviceInterface = g_deviceRegistry->TakeFirst()) {
            EngineDelete(deviceInterface);
        }
    }
    EngineDelete(g_sessionTable);
    g_sessionTable = nullptr;
    EngineDelete(g_serverRegistry);
    g_serverRegistry = nullptr;
    EngineDelete(g_deviceRegistry);
    g_deviceRegistry = nullptr;
}

int StartServer(std::uint32_t kind)
{
    CEngineLock lock;
    if (!lock.Held() || g_builders[kind].start == nullptr || g_running[kind]) {
        return -1;
    }
    std::uint32_t status = ZODEVICE_STATUS_DRIVER_FAULT;
    g_builders[kind].start(&status);
    if (status != 0) {
        return -1;
    }
    g_running[kind] = true;
    return 0;
}

int StopServerTopLevel(std::uint32_t kind)
{
    CEngineLock lock;
    if (!lock.Held()) {
        return -1;
    }
    StopServer(kind);
    return 0;
}

void DestroyPhysicalInterface(CPhysicalInterface* physicalInterface, std::uint32_t* status)
{
    CPhysicalInterfaceFactory* factory = physicalInterface->GetFactory();
    if (g_serverRegistry == nullptr || factory == nullptr ||
        !g_serverRegistry->Contains(factory)) {
        *status = 0x54361;
        return;
    }
    *status = ZODEVICE_STATUS_DRIVER_FAULT;
    factory->DestroyInterface(physicalInterface, status);
}

template <typename Work>
void Forward(std::uint32_t handle, std::uint32_t* status, Work work)
{
    if (g_sessionTable == nullptr) {
        *status = ZODEVICE_STATUS_DRIVER_FAULT;
        return;
    }
    CDeviceSession* session = g_sessionTable->Lookup(handle, status);
    if (session == nullptr) {
        return;
    }
    work(session);
}

} // namespace

void zo_device_set_server_builder(std::uint32_t kind, const ZoServerBuilder* builder)
{
    CEngineLock lock;
    if (kind >= kServerKinds || kind == 0) {
        return;
    }
    g_builders[kind] = builder != nullptr ? *builder : ZoServerBuilder{nullptr, nullptr};
}

int zo_device_initialize()
{
    CEngineLock lock;
    if (!lock.Held()) {
        return -1;
    }
    StopEverything();
    g_deviceRegistry = EngineNew<CDeviceRegistry>();
    if (g_deviceRegistry == nullptr || g_deviceRegistry->Failed()) {
        StopEverything();
        return -1;
    }
    g_serverRegistry = EngineNew<CServerRegistry>();
    if (g_serverRegistry == nullptr || g_serverRegistry->Failed()) {
        StopEverything();
        return -1;
    }
    g_sessionTable = EngineNew<CDeviceSessionTable>();
    if (g_sessionTable == nullptr || g_sessionTable->Failed()) {
        StopEverything();
        return -1;
    }
    return 0;
}

int zo_device_start_tcpip_server()
{
    return StartServer(kServerKindVxi11);
}

int zo_device_start_usb_server()
{
    return StartServer(kServerKindUsb);
}

int zo_device_stop_tcpip_server()
{
    return StopServerTopLevel(kServerKindVxi11);
}

int zo_device_stop_usb_server()
{
    return StopServerTopLevel(kServerKindUsb);
}

// ---- interface objects and sessions ----

CZoDeviceInterface* zo_device_create_session(std::uint32_t version,
                                             const ZoOpenDescriptor* descriptor,
                                             std::uint32_t interfaceArgument,
                                             std::uint32_t* status)
{
    const std::uint32_t upper = version & 0xFFFFFF00u;
    if (upper != 0x01040000u && upper != 0x01050000u) {
        *status = ZODEVICE_STATUS_ENGINE_INCOMPATIBILITY;
        return nullptr;
    }
    if (descriptor == nullptr) {
        *status = ENGINE_STATUS_NULL_POINTER;
        return nullptr;
    }
    if (g_deviceRegistry == nullptr) {
        *status = ZODEVICE_STATUS_DRIVER_FAULT;
        return nullptr;
    }
    auto* deviceInterface = EngineNew<CFunctionCallInterface>(descriptor, interfaceArgument);
    if (deviceInterface == nullptr) {
        *status = ZODEVICE_STATUS_INSUFFICIENT_MEMORY;
        return nullptr;
    }
    if (!deviceInterface->IsValid(status)) {
        EngineDelete(deviceInterface);
        return nullptr;
    }
    g_deviceRegistry->Add(deviceInterface, version, status);
    if (*status != 0) {
        EngineDelete(deviceInterface);
        *status = ZODEVICE_STATUS_INSUFFICIENT_MEMORY;
        return nullptr;
    }
    return deviceInterface;
}

void zo_device_remove_session(CZoDeviceInterface* deviceInterface, std::uint32_t* status)
{
    if (deviceInterface == nullptr) {
        *status = ENGINE_STATUS_NULL_POINTER;
        return;
    }
    if (g_deviceRegistry == nullptr) {
        *status = ZODEVICE_STATUS_DRIVER_FAULT;
        return;
    }
    g_deviceRegistry->Remove(deviceInterface, status);
    if (*status != 0) {
        return;
    }
    EngineDelete(deviceInterface);
    *status = 0;
}

void zo_device_check_internal_version(std::uint32_t version, std::uint32_t* status)
{
    *status = (version & 0xFFFFFF00u) == 0x01060000u ? 0 : ZODEVICE_STATUS_INTERNAL_INCOMPATIBILITY;
}

void zo_device_open_session(std::uint32_t* handle, const ZoOpenDescriptor* descriptor,
                            std::uint32_t interfaceArgument, std::uint32_t* status)
{
    *status = ZODEVICE_STATUS_DRIVER_FAULT;
    if (g_serverRegistry == nullptr || g_sessionTable == nullptr) {
        return;
    }
    CPhysicalInterfaceFactory* factory = g_serverRegistry->Find(descriptor->serverKind, status);
    if (factory == nullptr) {
        return;
    }
    *status = ZODEVICE_STATUS_DRIVER_FAULT;
    CPhysicalInterface* physicalInterface =
        factory->CreateInterface(descriptor, interfaceArgument, status);
    if (physicalInterface == nullptr || *status != 0) {
        if (*status == 0) {
            *status = ZODEVICE_STATUS_DRIVER_FAULT;
        }
        return;
    }
    const std::uint32_t opened = g_sessionTable->Open(physicalInterface, status);
    if (opened == CDeviceSessionTable::kNoHandle) {
        std::uint32_t destroyStatus = 0;
        DestroyPhysicalInterface(physicalInterface, &destroyStatus);
        return;
    }
    *handle = opened;
    *status = 0;
}

void zo_device_close_session(std::uint32_t handle, std::uint32_t* status)
{
    if (g_sessionTable == nullptr) {
        *status = ZODEVICE_STATUS_DRIVER_FAULT;
        return;
    }
    CDeviceSession* session = g_sessionTable->Lookup(handle, status);
    if (session == nullptr) {
        return;
    }
    // An interface the session forgot (device gone, manager destroyed) belongs to its
    // manager: it goes to no factory.
    CPhysicalInterface* physicalInterface = session->GetInterface();
    // The session's end begins: from here no device event from a manager's thread reaches
    // it, and one already inside it is waited for.
    if (physicalInterface != nullptr) {
        physicalInterface->Detach(session);
    }
    if (physicalInterface != nullptr && physicalInterface->IsActive()) {
        std::uint32_t closeStatus = ZODEVICE_STATUS_DRIVER_FAULT;
        session->Close(&closeStatus);
    }
    g_sessionTable->Remove(handle, status);
    if (physicalInterface != nullptr) {
        std::uint32_t destroyStatus = 0;
        DestroyPhysicalInterface(physicalInterface, &destroyStatus);
    }
}

// ---- server registry ----

void zo_device_register_server(std::uint32_t kind, std::uint32_t version,
                               CPhysicalInterfaceFactory* factory, std::uint32_t* status)
{
    if (g_serverRegistry == nullptr) {
        *status = ZODEVICE_STATUS_DRIVER_FAULT;
        return;
    }
    g_serverRegistry->Register(kind, version, factory, status);
}

void zo_device_unregister_server(std::uint32_t kind)
{
    if (g_serverRegistry != nullptr) {
        g_serverRegistry->Unregister(kind);
    }
}

// ---- forwarders ----

void zo_device_session_open_interface(std::uint32_t handle, const void* settings,
                                      std::uint32_t* status)
{
    Forward(handle, status, [&](CDeviceSession* s) { s->Open(settings, status); });
}

void zo_device_session_close_interface(std::uint32_t handle, std::uint32_t* status)
{
    Forward(handle, status, [&](CDeviceSession* s) { s->Close(status); });
}

void zo_device_session_register_event(std::uint32_t handle, std::uint32_t index,
                                      EventHandler handler, void* context,
                                      std::uint32_t* status)
{
    Forward(handle, status,
            [&](CDeviceSession* s) { s->SetEventHandler(index, handler, context, status); });
}

void zo_device_session_clear_event_handler(std::uint32_t handle, std::uint32_t index,
                                           std::uint32_t* status)
{
    Forward(handle, status, [&](CDeviceSession* s) { s->ClearEventHandler(index, status); });
}

void zo_device_session_get_event(std::uint32_t handle, std::uint8_t blocking,
                                 EventRecord* record, std::uint32_t* status)
{
    Forward(handle, status,
            [&](CDeviceSession* s) { s->GetEvent(blocking != 0, record, status); });
}

void zo_device_session_abort_event_wait(std::uint32_t handle, std::uint32_t* status)
{
    Forward(handle, status, [&](CDeviceSession* s) { s->AbortEventWait(status); });
}

void zo_device_session_event_done(std::uint32_t handle, std::uint32_t code,
                                  std::uint32_t result, std::uint32_t* status)
{
    Forward(handle, status, [&](CDeviceSession* s) { s->EventDone(code, result, status); });
}

void zo_device_session_enable_input_queue(std::uint32_t handle, std::uint8_t* data,
                                          std::uint32_t size, std::uint32_t* status)
{
    Forward(handle, status, [&](CDeviceSession* s) { s->SetInputBuffer(data, size, status); });
}

void zo_device_session_disable_input_queue(std::uint32_t handle, std::uint32_t* status)
{
    Forward(handle, status, [&](CDeviceSession* s) { s->DisableInputQueue(status); });
}

void zo_device_session_queue_response(std::uint32_t handle, const std::uint8_t* data,
                                      std::uint32_t count, std::uint8_t end,
                                      std::uint32_t* status)
{
    Forward(handle, status, [&](CDeviceSession* s) { s->SendOutput(data, count, end, status); });
}

#define KORVEX_FORWARD(Function, Operation)                                         \
    void Function(std::uint32_t handle, std::uint32_t* status)                      \
    {                                                                               \
        Forward(handle, status, [&](CDeviceSession* s) { s->Operation(status); });  \
    }

KORVEX_FORWARD(zo_device_session_cancel_response, CancelResponse)
KORVEX_FORWARD(zo_device_session_query_detected, QueryDetected)
KORVEX_FORWARD(zo_device_session_input_processed, InputProcessed)
KORVEX_FORWARD(zo_device_session_take_pending_trigger, TakePendingTrigger)
KORVEX_FORWARD(zo_device_session_slot17, EndMessageDone)
KORVEX_FORWARD(zo_device_session_slot18, ReportBufferFull)
KORVEX_FORWARD(zo_device_session_report_unterminated, ReportUnterminated)
KORVEX_FORWARD(zo_device_session_request_service, RequestService)
KORVEX_FORWARD(zo_device_session_clear_service_request, ClearServiceRequest)
KORVEX_FORWARD(zo_device_session_slot23, CheckInterface)
KORVEX_FORWARD(zo_device_session_enable_relaxed_mode, EnableRelaxedMode)
KORVEX_FORWARD(zo_device_session_disable_relaxed_mode, DisableRelaxedMode)

#undef KORVEX_FORWARD

void zo_device_session_set_fetch_elsewhere(std::uint32_t handle, std::uint8_t waiting,
                                           std::uint8_t stillArmed, std::uint32_t* status)
{
    Forward(handle, status,
            [&](CDeviceSession* s) { s->SetFetchElsewhere(waiting != 0, stillArmed != 0, status); });
}

void zo_device_session_set_status_byte(std::uint32_t handle, std::uint8_t stb,
                                       std::uint32_t* status)
{
    Forward(handle, status, [&](CDeviceSession* s) { s->SetStatusByte(stb, status); });
}

} // namespace Korvex
