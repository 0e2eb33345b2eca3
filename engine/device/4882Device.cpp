#include "engine/device/4882Device.h"

#include "engine/api/ZoDeviceApi.h"
#include "engine/api/ZoDeviceInterface.h"
#include "engine/device/ZoDeviceBuffer.h"

namespace Korvex {

namespace {

constexpr std::uint32_t kEventMessage = 0;
constexpr std::uint32_t kEventResponse = 1;
constexpr std::uint32_t kEventResponseRequested = 2;
constexpr std::uint32_t kEventTrigger = 3;
constexpr std::uint32_t kEventDeviceClear = 4;
constexpr std::uint32_t kEventRemoteLocal = 5;
constexpr std::uint32_t kEventInterface = 6;
constexpr std::uint32_t kEventStatusByteRequest = 7;
constexpr std::uint32_t kCodeTriggerWaiting = 25;

// Event code -> value passed to the callback.
struct ValueTable {
    std::int32_t values[128];
    constexpr ValueTable() : values()
    {
        for (std::int32_t& value : values) {
            value = -1;
        }
        values[0] = 0;
        values[1] = 1;
        values[2] = 3;
        values[3] = 2;
        values[8] = 0;
        values[9] = 2;
        values[10] = 3;
        values[16] = 1;
        for (std::int32_t i = 0; i < 4; ++i) {
            values[40 + i] = i;
        }
        values[48] = 0;
        values[49] = 1;
        for (std::int32_t i = 50; i <= 53; ++i) {
            values[i] = 2;
        }
    }
};
constexpr ValueTable kValues;

std::uint32_t Value(std::uint32_t code)
{
    return static_cast<std::uint32_t>(kValues.values[code & 127]);
}

} // namespace

C4882Device::C4882Device() = default;

C4882Device::~C4882Device()
{
    CZoDeviceInterface* deviceInterface = nullptr;
    {
        std::unique_lock<std::mutex> lock(m_lock);
        if (m_interface == nullptr || m_closing) {
            return;
        }
        m_closing = true;
        m_idle.wait(lock, [this] { return m_inFlight == 0; });
        deviceInterface = m_interface;
    }
    CloseSession(deviceInterface);
}

// ---- callback defaults ----

void C4882Device::OnMessageReceived(std::uint32_t, CZoDeviceBuffer*) {}
void C4882Device::OnResponseDone(std::uint32_t, CZoDeviceBuffer*) {}
void C4882Device::OnStatusByteRequest() {}
void C4882Device::OnDeviceClear() {}
void C4882Device::OnTrigger() {}
void C4882Device::OnTriggerWaiting() {}
void C4882Device::OnRemoteLocalChanged(std::uint32_t) {}
void C4882Device::OnInterfaceEvent(std::uint32_t) {}

// ---- in-flight accounting ----

CZoDeviceInterface* C4882Device::BeginOperation()
{
    std::lock_guard<std::mutex> lock(m_lock);
    if (m_interface == nullptr || m_closing) {
        return nullptr;
    }
    ++m_inFlight;
    return m_interface;
}

void C4882Device::EndOperation()
{
    std::lock_guard<std::mutex> lock(m_lock);
    if (--m_inFlight == 0) {
        m_idle.notify_all();
    }
}

template <typename Work>
ZODEVICE_STATUS C4882Device::Operate(Work work)
{
    CZoDeviceInterface* deviceInterface = BeginOperation();
    if (deviceInterface == nullptr) {
        return ZODEVICE_STATUS_DEVICE_NOT_ENABLED;
    }
    std::uint32_t status = ZODEVICE_STATUS_DRIVER_FAULT;
    work(deviceInterface, &status);
    EndOperation();
    return publish(status);
}

bool C4882Device::IsOpen()
{
    std::lock_guard<std::mutex> lock(m_lock);
    return m_interface != nullptr && !m_closing;
}

// ---- open and close ----

ZODEVICE_STATUS C4882Device::Open(const ZoOpenDescriptor* descriptor,
                                  std::uint32_t interfaceArgument, const void* settings,
                                  bool useEventThread)
{
    std::uint8_t switches[kSwitches] = {};
    {
        std::lock_guard<std::mutex> lock(m_lock);
        if (m_interface != nullptr || m_opening) {
            return ZODEVICE_STATUS_DEVICE_ALREADY_ENABLED;
        }
        m_opening = true;
        for (std::uint32_t i = 0; i < kSwitches; ++i) {
            switches[i] = m_switches[i];
        }
    }
    std::uint32_t status = ZODEVICE_STATUS_DRIVER_FAULT;
    CZoDeviceInterface* deviceInterface =
        zo_device_create_session(kEngineApiVersion, descriptor, interfaceArgument, &status);
    if (deviceInterface == nullptr) {
        std::lock_guard<std::mutex> lock(m_lock);
        m_opening = false;
        return publish(status);
    }
    std::uint8_t eventThreadStarted = 0;
    status = 0;
    if (useEventThread) {
        status = ZODEVICE_STATUS_DRIVER_FAULT;
        deviceInterface->StartEventDispatching(&status);
        eventThreadStarted = status == 0 ? 1 : 0;
    }
    struct Install {
        std::uint32_t index;
        EventHandler handler;
        bool wanted;
    };
    const Install installs[] = {
        {kEventMessage, &HandleMessage, true},
        {kEventResponse, &HandleResponse, true},
        {kEventDeviceClear, &HandleDeviceClear, true},
        {kEventResponseRequested, &HandleResponse, switches[kSecondResponseDone] != 0},
        {kEventStatusByteRequest, &HandleStatusByteRequest, switches[kStatusByteRequest] != 0},
        {kEventTrigger, &HandleTrigger, switches[kTrigger] != 0},
        {kEventRemoteLocal, &HandleRemoteLocal, switches[kRemoteLocal] != 0},
        {kEventInterface, &HandleInterfaceEvent, switches[kInterfaceEventSwitch] != 0},
    };
    for (const Install& install : installs) {
        if (status == 0 && install.wanted) {
            status = ZODEVICE_STATUS_DRIVER_FAULT;
            deviceInterface->SetEventHandler(install.index, install.handler, this, &status);
        }
    }
    if (status == 0 && switches[kRelaxed] != 0) {
        status = ZODEVICE_STATUS_DRIVER_FAULT;
        deviceInterface->EnableRelaxedMode(&status);
    }
    if (status == 0) {
        // Reachable from here on: handlers may run as soon as the interface opens and
        // call operations.
        {
            std::lock_guard<std::mutex> lock(m_lock);
            m_interface = deviceInterface;
            m_eventThreadStarted = eventThreadStarted;
            m_lastRemoteLocal = 0;
            ++m_inFlight;
        }
        status = ZODEVICE_STATUS_DRIVER_FAULT;
        deviceInterface->Open(settings, &status);
        EndOperation();
        if (status == 0) {
            std::lock_guard<std::mutex> lock(m_lock);
            m_opening = false;
            return 0;
        }
        std::unique_lock<std::mutex> lock(m_lock);
        m_closing = true;
        m_idle.wait(lock, [this] { return m_inFlight == 0; });
    }
    CloseSession(deviceInterface);
    std::lock_guard<std::mutex> lock(m_lock);
    m_opening = false;
    return publish(status);
}

std::uint32_t C4882Device::CloseSession(CZoDeviceInterface* deviceInterface)
{
    std::uint32_t status = ZODEVICE_STATUS_DRIVER_FAULT;
    deviceInterface->Close(&status);
    status = ZODEVICE_STATUS_DRIVER_FAULT;
    zo_device_remove_session(deviceInterface, &status);
    std::lock_guard<std::mutex> lock(m_lock);
    if (status == 0) {
        m_interface = nullptr;
        m_eventThreadStarted = 0;
        m_inputBuffer = nullptr;
        m_responseBuffer = nullptr;
    }
    for (std::uint8_t& value : m_switches) {
        value = 0;
    }
    m_closing = false;
    return status;
}

ZODEVICE_STATUS C4882Device::Close()
{
    CZoDeviceInterface* deviceInterface = nullptr;
    {
        std::unique_lock<std::mutex> lock(m_lock);
        if (m_interface == nullptr || m_closing || m_opening) {
            return ZODEVICE_STATUS_DEVICE_NOT_ENABLED;
        }
        // Inside a callback: the close would join this very thread.
        if (m_interface->OnObserverThread()) {
            return ZODEVICE_STATUS_EVENT_MSG_LOOP_ENABLED;
        }
        m_closing = true;
        m_idle.wait(lock, [this] { return m_inFlight == 0; });
        deviceInterface = m_interface;
    }
    return publish(CloseSession(deviceInterface));
}

// ---- operations ----

ZODEVICE_STATUS C4882Device::EnableInputQueue(CZoDeviceBuffer* buffer)
{
    CZoDeviceInterface* deviceInterface = BeginOperation();
    if (deviceInterface == nullptr) {
        return ZODEVICE_STATUS_DEVICE_NOT_ENABLED;
    }
    std::uint32_t status = 0;
    if (buffer == nullptr || buffer->data == nullptr || buffer->size == 0) {
        status = ZODEVICE_STATUS_MSG_BUFFER_INVALID;
    } else {
        std::lock_guard<std::mutex> lock(m_lock);
        if (m_inputBuffer != nullptr) {
            status = ZODEVICE_STATUS_INPUT_QUEUE_ALREADY_ENABLED;
        } else {
            m_inputBuffer = buffer;
        }
    }
    if (status == 0) {
        status = ZODEVICE_STATUS_DRIVER_FAULT;
        deviceInterface->SetInputBuffer(buffer->data, buffer->size, &status);
        if (status != 0) {
            std::lock_guard<std::mutex> lock(m_lock);
            if (m_inputBuffer == buffer) {
                m_inputBuffer = nullptr;
            }
        }
    }
    EndOperation();
    return publish(status);
}

ZODEVICE_STATUS C4882Device::QueueResponse(CZoDeviceBuffer* buffer, bool end)
{
    CZoDeviceInterface* deviceInterface = BeginOperation();
    if (deviceInterface == nullptr) {
        return ZODEVICE_STATUS_DEVICE_NOT_ENABLED;
    }
    std::uint32_t status = 0;
    if (buffer == nullptr || buffer->data == nullptr || buffer->count == 0 ||
        buffer->count > buffer->size) {
        status = ZODEVICE_STATUS_MSG_BUFFER_INVALID;
    } else {
        std::lock_guard<std::mutex> lock(m_lock);
        if (m_responseBuffer != nullptr) {
            status = ZODEVICE_STATUS_RESPONSE_MSG_ALREADY_QUEUED;
        } else {
            m_responseBuffer = buffer;
        }
    }
    if (status == 0) {
        status = ZODEVICE_STATUS_DRIVER_FAULT;
        deviceInterface->SendOutput(buffer->data, buffer->count, end ? 1 : 0, &status);
        if (status != 0) {
            std::lock_guard<std::mutex> lock(m_lock);
            if (m_responseBuffer == buffer) {
                m_responseBuffer = nullptr;
            }
        }
    }
    EndOperation();
    return publish(status);
}

ZODEVICE_STATUS C4882Device::SetStatusByte(std::uint8_t stb)
{
    return Operate([stb](CZoDeviceInterface* i, std::uint32_t* s) { i->SetStatusByte(stb, s); });
}

ZODEVICE_STATUS C4882Device::RequestService()
{
    return Operate([](CZoDeviceInterface* i, std::uint32_t* s) { i->RequestService(s); });
}

ZODEVICE_STATUS C4882Device::QueryDetected()
{
    return Operate([](CZoDeviceInterface* i, std::uint32_t* s) { i->QueryDetected(s); });
}

ZODEVICE_STATUS C4882Device::InputProcessed()
{
    return Operate([](CZoDeviceInterface* i, std::uint32_t* s) { i->InputProcessed(s); });
}

ZODEVICE_STATUS C4882Device::TakePendingTrigger()
{
    return Operate([](CZoDeviceInterface* i, std::uint32_t* s) { i->TakePendingTrigger(s); });
}

ZODEVICE_STATUS C4882Device::SetFetchElsewhere(bool waiting, bool stillArmed)
{
    return Operate([waiting, stillArmed](CZoDeviceInterface* i, std::uint32_t* s) {
        i->SetFetchElsewhere(waiting, stillArmed, s);
    });
}

ZODEVICE_STATUS C4882Device::ReportUnterminated()
{
    return Operate([this](CZoDeviceInterface* i, std::uint32_t* s) {
        i->ReportUnterminated(s);
        if (*s == 0) {
            std::lock_guard<std::mutex> lock(m_lock);
            m_responseBuffer = nullptr;
        }
    });
}

ZODEVICE_STATUS C4882Device::EnableEvent(Switch which, std::uint32_t index)
{
    static constexpr EventHandler kHandlers[] = {
        &HandleResponse, &HandleStatusByteRequest, &HandleTrigger,
        &HandleRemoteLocal, &HandleInterfaceEvent, nullptr,
    };
    CZoDeviceInterface* deviceInterface = BeginOperation();
    if (deviceInterface == nullptr) {
        std::lock_guard<std::mutex> lock(m_lock);
        if (m_switches[which] != 0) {
            return ZODEVICE_STATUS_EVENT_ALREADY_ENABLED;
        }
        m_switches[which] = 1;
        return 0;
    }
    std::uint32_t status = ZODEVICE_STATUS_DRIVER_FAULT;
    deviceInterface->SetEventHandler(index, kHandlers[which], this, &status);
    EndOperation();
    return publish(status);
}

ZODEVICE_STATUS C4882Device::EnableStatusByteRequestEvent()
{
    return EnableEvent(kStatusByteRequest, kEventStatusByteRequest);
}

ZODEVICE_STATUS C4882Device::EnableTriggerEvent()
{
    return EnableEvent(kTrigger, kEventTrigger);
}

ZODEVICE_STATUS C4882Device::EnableRemoteLocalEvent(std::uint32_t reportLockout)
{
    {
        std::lock_guard<std::mutex> lock(m_lock);
        m_reportLockout = reportLockout;
    }
    return EnableEvent(kRemoteLocal, kEventRemoteLocal);
}

// ---- handlers (event observer thread) ----

std::uint32_t C4882Device::HandleMessage(std::uint32_t code, std::uint32_t argument,
                                         void* context, void* descriptor)
{
    auto* device = static_cast<C4882Device*>(context);
    const std::uint32_t value = Value(code);
    CZoDeviceBuffer* buffer = nullptr;
    {
        std::lock_guard<std::mutex> lock(device->m_lock);
        if (descriptor != nullptr && device->m_inputBuffer != nullptr &&
            device->m_inputBuffer->data == descriptor) {
            buffer = device->m_inputBuffer;
            buffer->count = argument;
            device->m_inputBuffer = nullptr;
        }
        if (value == 2) {
            device->m_responseBuffer = nullptr;
        }
    }
    device->OnMessageReceived(value, buffer);
    return 0;
}

std::uint32_t C4882Device::HandleResponse(std::uint32_t code, std::uint32_t argument,
                                          void* context, void* descriptor)
{
    auto* device = static_cast<C4882Device*>(context);
    CZoDeviceBuffer* buffer = nullptr;
    {
        std::lock_guard<std::mutex> lock(device->m_lock);
        if (descriptor != nullptr && device->m_responseBuffer != nullptr &&
            device->m_responseBuffer->data == descriptor) {
            buffer = device->m_responseBuffer;
            buffer->count = argument;
            device->m_responseBuffer = nullptr;
        }
    }
    device->OnResponseDone(Value(code), buffer);
    return 0;
}

std::uint32_t C4882Device::HandleStatusByteRequest(std::uint32_t, std::uint32_t, void* context,
                                                   void*)
{
    static_cast<C4882Device*>(context)->OnStatusByteRequest();
    return 0;
}

std::uint32_t C4882Device::HandleDeviceClear(std::uint32_t, std::uint32_t, void* context, void*)
{
    static_cast<C4882Device*>(context)->OnDeviceClear();
    return 0;
}

std::uint32_t C4882Device::HandleTrigger(std::uint32_t code, std::uint32_t, void* context,
                                         void*)
{
    auto* device = static_cast<C4882Device*>(context);
    if (code == kCodeTriggerWaiting) {
        device->OnTriggerWaiting();
    } else {
        device->OnTrigger();
    }
    return 0;
}

std::uint32_t C4882Device::HandleRemoteLocal(std::uint32_t code, std::uint32_t, void* context,
                                             void*)
{
    auto* device = static_cast<C4882Device*>(context);
    std::uint32_t value = Value(code);
    {
        std::lock_guard<std::mutex> lock(device->m_lock);
        if (device->m_reportLockout == 0) {
            if (value == 2) {
                value = 0;
            } else if (value == 3) {
                value = 1;
            }
            if (value == device->m_lastRemoteLocal) {
                return 0;
            }
        }
        device->m_lastRemoteLocal = value;
    }
    device->OnRemoteLocalChanged(value);
    return 0;
}

std::uint32_t C4882Device::HandleInterfaceEvent(std::uint32_t code, std::uint32_t, void* context,
                                                void*)
{
    static_cast<C4882Device*>(context)->OnInterfaceEvent(Value(code));
    return 0;
}

} // namespace Korvex
