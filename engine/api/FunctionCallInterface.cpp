#include "engine/api/FunctionCallInterface.h"

#include "engine/api/ZoDeviceApi.h"
#include "engine/os/Allocator.h"
#include "engine/session/EventObserver.h"
#include "engine/status/EngineStatus.h"

namespace Korvex {

namespace {
constexpr std::uint32_t kEventSlots = 16;
constexpr std::uint32_t kObserverPriority = 8;
} // namespace

CFunctionCallInterface::CFunctionCallInterface(const ZoOpenDescriptor* descriptor,
                                               std::uint32_t interfaceArgument)
{
    std::uint32_t status = 0;
    zo_device_check_internal_version(kInternalVersion, &status);
    if (status == 0) {
        std::uint32_t handle = kNoHandle;
        zo_device_open_session(&handle, descriptor, interfaceArgument, &status);
        if (status == 0) {
            m_handle = handle;
        }
    }
    m_constructionStatus = status;
    m_valid = status == 0 ? 1 : 0;
}

CFunctionCallInterface::~CFunctionCallInterface()
{
    if (m_observer != nullptr) {
        m_observer->RequestStop();
        std::uint32_t status = 0;
        AbortEventWait(&status);
        status = 0;
        m_observer->Stop(&status);
        EngineDelete(m_observer);
        m_observer = nullptr;
    }
    if (m_handle != kNoHandle) {
        std::uint32_t status = 0;
        zo_device_close_session(m_handle, &status);
    }
}

bool CFunctionCallInterface::IsValid(std::uint32_t* status)
{
    *status = m_constructionStatus;
    return m_valid != 0;
}

void CFunctionCallInterface::Open(const void* settings, std::uint32_t* status)
{
    if (settings == nullptr) {
        *status = ENGINE_STATUS_NULL_POINTER;
        return;
    }
    zo_device_session_open_interface(m_handle, settings, status);
}

void CFunctionCallInterface::Close(std::uint32_t* status)
{
    zo_device_session_close_interface(m_handle, status);
}

void CFunctionCallInterface::StartEventDispatching(std::uint32_t* status)
{
    if (m_observer != nullptr) {
        *status = ZODEVICE_STATUS_EVENT_MSG_LOOP_ENABLED;
        return;
    }
    m_observer = EngineNew<CEventObserver>(this);
    if (m_observer == nullptr) {
        *status = ZODEVICE_STATUS_INSUFFICIENT_MEMORY;
        return;
    }
    std::uint32_t startStatus = 0;
    m_observer->Start(kObserverPriority, &startStatus);
    if (startStatus != 0) {
        m_observer->RequestStop();
        std::uint32_t ignored = 0;
        AbortEventWait(&ignored);
        m_observer->Stop(&ignored);
        EngineDelete(m_observer);
        m_observer = nullptr;
        *status = ZODEVICE_STATUS_DRIVER_FAULT;
        return;
    }
    *status = 0;
}

void CFunctionCallInterface::SetEventHandler(std::uint32_t index, EventHandler handler,
                                             void* context, std::uint32_t* status)
{
    if (index >= kEventSlots) {
        *status = ENGINE_STATUS_EVENT_INDEX_INVALID;
    } else if (handler == nullptr) {
        *status = ENGINE_STATUS_NULL_POINTER;
    } else {
        zo_device_session_register_event(m_handle, index, handler, context, status);
    }
}

void CFunctionCallInterface::ClearEventHandler(std::uint32_t index, std::uint32_t* status)
{
    if (index >= kEventSlots) {
        *status = ENGINE_STATUS_EVENT_INDEX_INVALID;
        return;
    }
    zo_device_session_clear_event_handler(m_handle, index, status);
}

void CFunctionCallInterface::GetEvent(std::uint8_t blocking, EventRecord* record,
                                      std::uint32_t* status)
{
    if (record == nullptr) {
        *status = ENGINE_STATUS_NULL_POINTER;
        return;
    }
    zo_device_session_get_event(m_handle, blocking, record, status);
}

void CFunctionCallInterface::AbortEventWait(std::uint32_t* status)
{
    zo_device_session_abort_event_wait(m_handle, status);
}

void CFunctionCallInterface::RunEventHandler(EventRecord* record, std::uint32_t* status)
{
    if (record == nullptr) {
        *status = ENGINE_STATUS_NULL_POINTER;
        return;
    }
    if (record->code == CEventQueue::kNoEvent) {
        *status = ENGINE_STATUS_EVENT_INDEX_INVALID;
        return;
    }
    if (record->handler == nullptr) {
        *status = ENGINE_STATUS_NULL_POINTER;
        return;
    }
    const std::uint32_t result =
        record->handler(record->code, record->argument, record->context, record->descriptor);
    *status = 0;
    if (record->acknowledge == 1) {
        zo_device_session_event_done(m_handle, record->code, result, status);
    }
}

void CFunctionCallInterface::SetInputBuffer(std::uint8_t* data, std::uint32_t size,
                                            std::uint32_t* status)
{
    if (data == nullptr) {
        *status = ZODEVICE_STATUS_MSG_BUFFER_INVALID;
    } else if ((reinterpret_cast<std::uintptr_t>(data) & 3u) != 0) {
        *status = ZODEVICE_STATUS_MSG_BUFFER_NOT_ON_32BIT_BOUNDARY;
    } else if (size == 0 || (size != 1 && size % 4 != 0)) {
        *status = ZODEVICE_STATUS_MSG_BUFFER_SIZE_INVALID;
    } else {
        zo_device_session_enable_input_queue(m_handle, data, size, status);
    }
}

void CFunctionCallInterface::DisableInputQueue(std::uint32_t* status)
{
    zo_device_session_disable_input_queue(m_handle, status);
}

void CFunctionCallInterface::SendOutput(const std::uint8_t* data, std::uint32_t count,
                                        std::uint8_t end, std::uint32_t* status)
{
    if (data == nullptr) {
        *status = ZODEVICE_STATUS_MSG_BUFFER_INVALID;
    } else if ((reinterpret_cast<std::uintptr_t>(data) & 3u) != 0) {
        *status = ZODEVICE_STATUS_MSG_BUFFER_NOT_ON_32BIT_BOUNDARY;
    } else if (count == 0) {
        *status = ZODEVICE_STATUS_MSG_BUFFER_SIZE_INVALID;
    } else {
        zo_device_session_queue_response(m_handle, data, count, end, status);
    }
}

void CFunctionCallInterface::CancelResponse(std::uint32_t* status)
{
    zo_device_session_cancel_response(m_handle, status);
}

void CFunctionCallInterface::QueryDetected(std::uint32_t* status)
{
    zo_device_session_query_detected(m_handle, status);
}

void CFunctionCallInterface::InputProcessed(std::uint32_t* status)
{
    zo_device_session_input_processed(m_handle, status);
}

void CFunctionCallInterface::TakePendingTrigger(std::uint32_t* status)
{
    zo_device_session_take_pending_trigger(m_handle, status);
}

void CFunctionCallInterface::SetFetchElsewhere(bool waiting, bool stillArmed, std::uint32_t* status)
{
    zo_device_session_set_fetch_elsewhere(m_handle, waiting ? 1 : 0, stillArmed ? 1 : 0, status);
}

void CFunctionCallInterface::EndMessageDone(std::uint32_t* status)
{
    zo_device_session_slot17(m_handle, status);
}

void CFunctionCallInterface::ReportBufferFull(std::uint32_t* status)
{
    zo_device_session_slot18(m_handle, status);
}

void CFunctionCallInterface::ReportUnterminated(std::uint32_t* status)
{
    zo_device_session_report_unterminated(m_handle, status);
}

void CFunctionCallInterface::SetStatusByte(std::uint8_t stb, std::uint32_t* status)
{
    zo_device_session_set_status_byte(m_handle, stb, status);
}

void CFunctionCallInterface::RequestService(std::uint32_t* status)
{
    zo_device_session_request_service(m_handle, status);
}

void CFunctionCallInterface::ClearServiceRequest(std::uint32_t* status)
{
    zo_device_session_clear_service_request(m_handle, status);
}

void CFunctionCallInterface::CheckInterface(std::uint32_t* status)
{
    zo_device_session_slot23(m_handle, status);
}

void CFunctionCallInterface::EnableRelaxedMode(std::uint32_t* status)
{
    zo_device_session_enable_relaxed_mode(m_handle, status);
}

void CFunctionCallInterface::DisableRelaxedMode(std::uint32_t* status)
{
    zo_device_session_disable_relaxed_mode(m_handle, status);
}

bool CFunctionCallInterface::OnObserverThread() const
{
    return m_observer != nullptr && m_observer->IsCurrentThread();
}

} // namespace Korvex
