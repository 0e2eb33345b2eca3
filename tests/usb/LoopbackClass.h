// Test-only interface class (class 0xFF): bulk OUT, bulk IN and interrupt IN (maximum packet
// 2, interval 1). While active it keeps a receive of receiveSize bytes armed on bulk OUT and,
// with echo on, sends what arrived back on bulk IN before arming the next receive. Class
// request 1 (IN, interface) answers "LB"; other class requests are stalled. Every event is
// recorded; the test thread waits on them.
#pragma once

#include <atomic>
#include <condition_variable>
#include <functional>
#include <cstdint>
#include <mutex>
#include <vector>

#include "engine/buffer/ByteBuffer.h"
#include "usb/device/UsbInterfaceClass.h"
#include "usb/device/UsbInterfaceClassIoManager.h"

namespace usbtest {

struct LoopbackEvent {
    enum Type { Activate, Deactivate, Suspend, Out, In, ClassRequest } type;
    std::uint32_t kind;
    std::uint32_t code;
    std::uint32_t bytes;
    std::vector<std::uint8_t> data;  // Out: the bytes received
};

class LoopbackClass : public Korvex::CUsbInterfaceClass,
                      public Korvex::CUsbInterfaceClassEventObserver {
public:
    LoopbackClass();
    ~LoopbackClass() override;

    // ---- set-up (before traffic) ----
    void SetReceiveSize(std::uint32_t bytes) { m_receiveSize = bytes; }
    void SetEcho(bool echo) { m_echo = echo; }
    void SetRearm(bool rearm) { m_rearm = rearm; }
    // The sizes of the next receives, in order (then receiveSize again).
    void SetReceiveSizes(std::vector<std::uint32_t> sizes) { m_sizes = std::move(sizes); }
    // Inside the next bulk-OUT completion: a dispatching disable (an engine hold taken in a
    // pass) / an enable (which is a consistency fault there).
    void HoldInNextOut() { m_holdInOut = true; }
    void EnableInNextOut() { m_enableInOut = true; }
    // Runs the action inside the next bulk-OUT completion.
    void RunInNextOut(std::function<void()> action)
    {
        std::lock_guard<std::mutex> g(m_lock);
        m_action = std::move(action);
    }

    // ---- from the test thread ----
    // Waits (real ms) until count events of the type have been recorded.
    bool WaitFor(LoopbackEvent::Type type, std::size_t count, std::uint32_t ms = 5000);
    std::vector<LoopbackEvent> Events();
    std::size_t Count(LoopbackEvent::Type type);
    Korvex::CUsbInterfaceClassIoManager* Io() const { return m_io; }
    // Starts a send on an endpoint kind from an engine thread (dispatching bracketed).
    void Send(std::uint32_t kind, const std::vector<std::uint8_t>& data, std::uint32_t* status);
    // Aborts the transfer of an endpoint kind from an engine thread; returns the count.
    std::uint32_t Abort(std::uint32_t kind, std::uint32_t* status);

    // ---- CUsbInterfaceClass ----
    const Korvex::UsbInterfaceDescription& GetInterfaceDescription() override;
    void Configure(Korvex::CUsbInterfaceClassIoManager* ioManager, std::uint32_t* status) override;
    void Unconfigure(std::uint32_t* status) override;

    // ---- CUsbInterfaceClassEventObserver ----
    void OnClassRequest(const Korvex::UsbSetupPacket& setup, std::uint32_t* status) override;
    void OnOutComplete(std::uint32_t kind, std::uint32_t code, std::uint32_t bytes,
                       std::uint32_t* status) override;
    void OnInComplete(std::uint32_t kind, std::uint32_t code, std::uint32_t bytes,
                      std::uint32_t* status) override;
    void OnActivate(std::uint32_t value, std::uint32_t* status) override;
    void OnDeactivate(std::uint32_t* status) override;
    void OnSuspend(std::uint32_t* status) override;

private:
    void Record(LoopbackEvent event);
    void Arm(std::uint32_t* status);

    Korvex::UsbInterfaceDescription m_description;
    Korvex::CUsbInterfaceClassIoManager* m_io = nullptr;
    Korvex::CByteBuffer m_receive{4096};
    Korvex::CByteBuffer m_send{4096};
    Korvex::CByteBuffer m_interrupt{64};
    Korvex::CByteBuffer m_control{8};
    std::uint32_t m_receiveSize = 64;
    std::vector<std::uint32_t> m_sizes;
    std::atomic<bool> m_holdInOut{false};
    std::atomic<bool> m_enableInOut{false};
    std::function<void()> m_action;
    bool m_echo = true;
    bool m_rearm = true;
    std::mutex m_lock;
    std::condition_variable m_changed;
    std::vector<LoopbackEvent> m_events;
};

}  // namespace usbtest
