#include "TestDevice.h"

#include <algorithm>
#include <cstring>

#include "engine/api/ZoDeviceApi.h"
#include "engine/status/EngineStatus.h"

namespace Korvex {

// ---- factory ----

CPhysicalInterface* FakeFactory::CreateInterface(const ZoOpenDescriptor*, std::uint32_t,
                                                 std::uint32_t* status)
{
    if (failCreate.load()) {
        *status = ZODEVICE_STATUS_HARDWARE_ERROR;
        return nullptr;
    }
    auto* transport = new FakeTransport(this);
    std::lock_guard<std::mutex> lock(m_mutex);
    m_live.push_back(transport);
    *status = 0;
    return transport;
}

void FakeFactory::DestroyInterface(CPhysicalInterface* physicalInterface, std::uint32_t* status)
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        auto it = std::find(m_live.begin(), m_live.end(), physicalInterface);
        if (it == m_live.end()) {
            *status = ZODEVICE_STATUS_DRIVER_FAULT;
            return;
        }
        m_live.erase(it);
        ++m_destroyed;
    }
    delete physicalInterface;
    *status = 0;
}

FakeTransport* FakeFactory::Last()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_live.empty() ? nullptr : m_live.back();
}

std::uint32_t FakeFactory::Live()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return static_cast<std::uint32_t>(m_live.size());
}

std::uint32_t FakeFactory::Destroyed()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_destroyed;
}

namespace FakeServers {
namespace {
FakeFactory g_factories[3];
std::atomic<std::uint32_t> g_failStep[3];

void Start(std::uint32_t kind, std::uint32_t* status)
{
    if (g_failStep[kind].load() == 1) {
        *status = 5;
        return;
    }
    if (g_failStep[kind].load() == 2) {
        // A registration that fails (a version the engine refuses).
        zo_device_register_server(kind, 0x01030000, &g_factories[kind], status);
        return;
    }
    zo_device_register_server(kind, kInternalVersion, &g_factories[kind], status);
}

// As a transport's manager does: unregister, tell each interface's session that the
// manager goes (device event 52), then destroy the interfaces.
void Stop(std::uint32_t kind)
{
    zo_device_unregister_server(kind);
    while (FakeTransport* transport = g_factories[kind].Last()) {
        transport->ManagerDeviceEvent(52);
        std::uint32_t status = 0;
        g_factories[kind].DestroyInterface(transport, &status);
    }
}

void StartVxi11(std::uint32_t* status) { Start(kServerKindVxi11, status); }
void StopVxi11() { Stop(kServerKindVxi11); }
void StartUsb(std::uint32_t* status) { Start(kServerKindUsb, status); }
void StopUsb() { Stop(kServerKindUsb); }
} // namespace

void Install()
{
    static const ZoServerBuilder vxi11{&StartVxi11, &StopVxi11};
    static const ZoServerBuilder usb{&StartUsb, &StopUsb};
    zo_device_set_server_builder(kServerKindVxi11, &vxi11);
    zo_device_set_server_builder(kServerKindUsb, &usb);
    g_failStep[1] = 0;
    g_failStep[2] = 0;
    zo_device_initialize();
}

FakeFactory& Factory(std::uint32_t kind)
{
    return g_factories[kind];
}

void FailStart(std::uint32_t kind, std::uint32_t step)
{
    g_failStep[kind] = step;
}
} // namespace FakeServers

// ---- device ----

TestDevice::TestDevice(std::uint32_t inputSize) : m_input(inputSize, nullptr) {}

TestDevice::~TestDevice()
{
    Close();
}

ZODEVICE_STATUS TestDevice::OpenTcpIp()
{
    ZODEVICE_STATUS status = CTcpIpDevice::Open(0, nullptr, true);
    if (status == 0) {
        m_transport = FakeServers::Factory(kServerKindVxi11).Last();
        status = EnableInputQueue(&m_input);
    }
    return status;
}

ZODEVICE_STATUS TestDevice::OpenUsb()
{
    ZODEVICE_STATUS status = CUsbDevice::Open(0x1234, 0x5678, 0x0100, "Maker", "Meter",
                                              "0000001", nullptr, nullptr, 50, 1, 0, true);
    if (status == 0) {
        m_transport = FakeServers::Factory(kServerKindUsb).Last();
        status = EnableInputQueue(&m_input);
    }
    return status;
}

FakeTransport* TestDevice::Transport()
{
    return m_transport;
}

void TestDevice::Record(char kind, std::uint32_t value, const std::string& text)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_callbacks.push_back(Callback{kind, value, text});
    m_changed.notify_all();
}

std::vector<TestDevice::Callback> TestDevice::Callbacks()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_callbacks;
}

std::uint32_t TestDevice::Count(char kind)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return static_cast<std::uint32_t>(
        std::count_if(m_callbacks.begin(), m_callbacks.end(),
                      [kind](const Callback& c) { return c.kind == kind; }));
}

bool TestDevice::WaitCount(char kind, std::uint32_t n, int timeoutMs)
{
    std::unique_lock<std::mutex> lock(m_mutex);
    return m_changed.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] {
        return static_cast<std::uint32_t>(
                   std::count_if(m_callbacks.begin(), m_callbacks.end(),
                                 [kind](const Callback& c) { return c.kind == kind; })) >= n;
    });
}

void TestDevice::OnMessageReceived(std::uint32_t reason, CZoDeviceBuffer* buffer)
{
    if (messageHook) {
        messageHook();
    }
    if (closeFromCallback.load()) {
        callbackCloseStatus = Close();
    }
    std::string text;
    if (buffer != nullptr) {
        text.assign(reinterpret_cast<const char*>(buffer->data), buffer->count);
    }
    if (reason == 0 && !text.empty() && text.back() == '?') {
        QueryDetected();
        const std::string answer = text + "=OK";
        const std::uint32_t count =
            static_cast<std::uint32_t>(std::min<std::size_t>(answer.size(), m_response.size));
        std::memcpy(m_response.data, answer.data(), count);
        m_response.count = count;
        QueueResponse(&m_response, true);
    }
    if (reason != 2) {
        InputProcessed();
    }
    EnableInputQueue(&m_input);
    // Recorded once handled: a test that saw it may rely on the answer being queued.
    Record('M', reason, text);
}

void TestDevice::OnResponseDone(std::uint32_t reason, CZoDeviceBuffer* buffer)
{
    std::string text;
    if (buffer != nullptr) {
        text.assign(reinterpret_cast<const char*>(buffer->data), buffer->count);
    }
    Record('R', reason, text);
}

void TestDevice::OnStatusByteRequest()
{
    Record('S', 0);
    SetStatusByte(statusByte.load());
}

void TestDevice::OnDeviceClear()
{
    Record('C', 0);
    // The clear may have dropped the message whose handling re-posts the buffer.
    EnableInputQueue(&m_input);
}

void TestDevice::OnTrigger()
{
    Record('T', 0);
    InputProcessed();
}

void TestDevice::OnRemoteLocalChanged(std::uint32_t value)
{
    if (remoteLocalHook) {
        remoteLocalHook();
    }
    Record('L', value);
}

void TestDevice::OnInterfaceEvent(std::uint32_t value)
{
    Record('E', value);
}

// ---- VXI-11 test device ----

Vxi11TestDevice::Vxi11TestDevice() = default;

Vxi11TestDevice::~Vxi11TestDevice()
{
    CloseVxi11();
}

ZODEVICE_STATUS Vxi11TestDevice::OpenVxi11()
{
    {
        std::lock_guard<std::mutex> lock(m_slowMutex);
        m_closing = false;
    }
    ZODEVICE_STATUS status = CTcpIpDevice::Open(0, nullptr, true);
    if (status == 0) {
        status = EnableStatusByteRequestEvent();
    }
    if (status == 0) {
        status = EnableTriggerEvent();
    }
    if (status == 0) {
        status = EnableInputQueue(&m_input);
    }
    return status;
}

ZODEVICE_STATUS Vxi11TestDevice::CloseVxi11()
{
    {
        std::lock_guard<std::mutex> lock(m_slowMutex);
        m_closing = true;
        ++m_generation;
    }
    StopSlowAnswer();
    return Close();
}

void Vxi11TestDevice::StopSlowAnswer()
{
    std::thread slow;
    {
        std::lock_guard<std::mutex> lock(m_slowMutex);
        slow = std::move(m_slow);
    }
    m_slowWake.notify_all();
    if (slow.joinable()) {
        slow.join();
    }
}

std::string Vxi11TestDevice::Answer(const std::string& message, bool* slow)
{
    std::string text = message;
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == ' ')) {
        text.pop_back();
    }
    *slow = false;
    if (text == "*IDN?") {
        return "KORVEX-TEST,VXI11,0,0\n";
    }
    if (text == "SLOW?") {
        *slow = true;
        return "1\n";
    }
    if (text == "TRG?") {
        return std::to_string(m_triggers.load()) + "\n";
    }
    if (text == "CLR?") {
        return std::to_string(m_clears.load()) + "\n";
    }
    if (text == "SRQ") {
        m_statusByte = 0x01;
        SetStatusByte(0x01);
        RequestService();
        return std::string();
    }
    if (!text.empty() && text.back() == '?') {
        return std::to_string(message.size()) + "\n";
    }
    return std::string();
}

void Vxi11TestDevice::Respond(CZoDeviceBuffer& response, const std::string& text)
{
    const std::uint32_t count =
        static_cast<std::uint32_t>(std::min<std::size_t>(text.size(), response.size));
    std::memcpy(response.data, text.data(), count);
    response.count = count;
    QueueResponse(&response, true);
}

void Vxi11TestDevice::OnMessageReceived(std::uint32_t reason, CZoDeviceBuffer* buffer)
{
    if (buffer != nullptr) {
        m_message.append(reinterpret_cast<const char*>(buffer->data), buffer->count);
    }
    if (reason == 0) {
        const std::string message = std::move(m_message);
        m_message.clear();
        ++m_messages;
        bool slow = false;
        const std::string answer = Answer(message, &slow);
        if (!answer.empty()) {
            QueryDetected();
        }
        if (!answer.empty() && !slow) {
            Respond(m_response, answer);
        }
        InputProcessed();
        if (slow) {
            StopSlowAnswer();  // an earlier one is over or cancelled by now
            std::lock_guard<std::mutex> lock(m_slowMutex);
            if (!m_closing) {
                const std::uint32_t generation = m_generation;
                m_slow = std::thread([this, generation, answer] {
                    std::unique_lock<std::mutex> wait(m_slowMutex);
                    if (!m_slowWake.wait_for(wait, std::chrono::milliseconds(kSlowMs),
                                             [&] { return m_generation != generation; })) {
                        wait.unlock();
                        Respond(m_slowResponse, answer);
                    }
                });
            }
        }
    } else if (reason == 1) {
        InputProcessed();
    } else {
        m_message.clear();
    }
    EnableInputQueue(&m_input);
}

void Vxi11TestDevice::OnStatusByteRequest()
{
    SetStatusByte(m_statusByte.load());
}

void Vxi11TestDevice::OnDeviceClear()
{
    {
        std::lock_guard<std::mutex> lock(m_slowMutex);
        ++m_generation;
    }
    m_slowWake.notify_all();
    m_message.clear();
    ++m_clears;
    EnableInputQueue(&m_input);
}

void Vxi11TestDevice::OnTrigger()
{
    ++m_triggers;
    InputProcessed();
}

} // namespace Korvex
