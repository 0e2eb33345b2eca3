// A device for engine tests: answers a message ending in "?" with "<message>=OK"
// (QueryDetected, QueueResponse with END, InputProcessed), other messages with
// InputProcessed; re-posts its input buffer, answers status-byte requests with the byte
// set by the test, calls InputProcessed after a trigger and records every callback.
// It closes itself in its destructor.
//
// FakeServers: server builders for kinds 1 and 2 whose factories make FakeTransports.
//
// Vxi11TestDevice: a CTcpIpDevice (interface argument 0, "inst0") for the VXI-11 server. It
// collects a message to its END and answers "*IDN?" with "KORVEX-TEST,VXI11,0,0\n", "SLOW?"
// with "1\n" after 3 s (from a thread of its own, so clears and status reads are served
// meanwhile), "TRG?" / "CLR?" with its trigger / clear counts and any other query (text
// ending in '?' before trailing white space) with the byte length of the whole message;
// "SRQ" sets its status byte to 0x01 and requests service. It answers status-byte
// requests with its byte and re-posts its input buffer after a clear.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "FakeTransport.h"
#include "engine/device/TcpIpDevice.h"
#include "engine/device/UsbDevice.h"
#include "engine/device/ZoDeviceBuffer.h"
#include "engine/session/PhysicalInterfaceFactory.h"

namespace Korvex {

class FakeFactory : public CPhysicalInterfaceFactory {
public:
    CPhysicalInterface* CreateInterface(const ZoOpenDescriptor* descriptor,
                                        std::uint32_t interfaceArgument,
                                        std::uint32_t* status) override;
    void DestroyInterface(CPhysicalInterface* physicalInterface, std::uint32_t* status) override;

    // The transport made last (null when none lives).
    FakeTransport* Last();
    std::uint32_t Live();
    std::uint32_t Destroyed();
    // Fails the next creations.
    std::atomic<bool> failCreate{false};

private:
    std::mutex m_mutex;
    std::vector<FakeTransport*> m_live;
    std::uint32_t m_destroyed = 0;
};

namespace FakeServers {
// Installs the builders of kinds 1 and 2 and brings the engine up (zo_device_initialize).
void Install();
// The factory of a kind (1 or 2).
FakeFactory& Factory(std::uint32_t kind);
// Makes the builder's start of a kind fail at step n (1: before registering, 2: the
// registration itself); 0: no failure.
void FailStart(std::uint32_t kind, std::uint32_t step);
} // namespace FakeServers

class TestDevice : public CTcpIpDevice, public CUsbDevice {
public:
    struct Callback {
        char kind;             // 'M' message, 'R' response done, 'S' status byte request,
                               // 'C' clear, 'T' trigger, 'L' remote/local, 'E' interface
        std::uint32_t value;   // reason or value
        std::string text;      // message text
    };

    // inputSize: the size of the input buffer the device posts.
    explicit TestDevice(std::uint32_t inputSize = 256);
    ~TestDevice() override;

    // Opens over kind 1 (or 2) with an event thread and posts the input buffer.
    ZODEVICE_STATUS OpenTcpIp();
    ZODEVICE_STATUS OpenUsb();
    FakeTransport* Transport();

    std::vector<Callback> Callbacks();
    std::uint32_t Count(char kind);
    // Waits until count(kind) >= n (by default with a deadline generous for a loaded machine).
    bool WaitCount(char kind, std::uint32_t n, int timeoutMs = 30000);

    std::atomic<std::uint8_t> statusByte{0};
    // Runs at the start of the message callback (blocking tests).
    std::function<void()> messageHook;
    // Runs at the start of the remote/local callback.
    std::function<void()> remoteLocalHook;
    // Status of the last Close tried from a callback (see closeFromCallback).
    std::atomic<bool> closeFromCallback{false};
    std::atomic<std::uint32_t> callbackCloseStatus{0};

    void OnMessageReceived(std::uint32_t reason, CZoDeviceBuffer* buffer) override;
    void OnResponseDone(std::uint32_t reason, CZoDeviceBuffer* buffer) override;
    void OnStatusByteRequest() override;
    void OnDeviceClear() override;
    void OnTrigger() override;
    void OnRemoteLocalChanged(std::uint32_t value) override;
    void OnInterfaceEvent(std::uint32_t value) override;

private:
    void Record(char kind, std::uint32_t value, const std::string& text = std::string());

    CZoDeviceBuffer m_input;
    CZoDeviceBuffer m_response{256, nullptr};
    FakeTransport* m_transport = nullptr;
    std::mutex m_mutex;
    std::condition_variable m_changed;
    std::vector<Callback> m_callbacks;
};

class Vxi11TestDevice : public CTcpIpDevice {
public:
    static constexpr std::uint32_t kInputSize = 4096;
    static constexpr int kSlowMs = 3000;

    Vxi11TestDevice();
    ~Vxi11TestDevice() override;

    // Opens over the VXI-11 server (kind 1) with an event thread, enables the status-byte
    // and trigger events and posts the input buffer.
    ZODEVICE_STATUS OpenVxi11();
    // Ends a pending "SLOW?" answer and closes.
    ZODEVICE_STATUS CloseVxi11();

    std::uint32_t Triggers() const { return m_triggers.load(); }
    std::uint32_t Clears() const { return m_clears.load(); }
    std::uint32_t Messages() const { return m_messages.load(); }

    void OnMessageReceived(std::uint32_t reason, CZoDeviceBuffer* buffer) override;
    void OnStatusByteRequest() override;
    void OnDeviceClear() override;
    void OnTrigger() override;

private:
    // The answer to a whole message (empty: none); slow when it is due after kSlowMs.
    std::string Answer(const std::string& message, bool* slow);
    void Respond(CZoDeviceBuffer& response, const std::string& text);
    void StopSlowAnswer();

    CZoDeviceBuffer m_input{kInputSize, nullptr};
    CZoDeviceBuffer m_response{256, nullptr};
    CZoDeviceBuffer m_slowResponse{4, nullptr};
    std::string m_message;  // collected up to END (event thread only)
    std::atomic<std::uint8_t> m_statusByte{0};
    std::atomic<std::uint32_t> m_triggers{0};
    std::atomic<std::uint32_t> m_clears{0};
    std::atomic<std::uint32_t> m_messages{0};
    std::mutex m_slowMutex;
    std::condition_variable m_slowWake;
    std::uint32_t m_generation = 0;  // a clear or close cancels a pending slow answer
    bool m_closing = false;
    std::thread m_slow;
};

} // namespace Korvex
