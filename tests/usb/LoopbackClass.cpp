#include "LoopbackClass.h"

#include <chrono>
#include <cstring>

#include "usb/core/UsbEndpoint.h"
#include "usb/device/UsbDeviceManager.h"

namespace usbtest {

using namespace Korvex;

LoopbackClass::LoopbackClass()
    : m_description{0xFF, 0, 0, "Loopback", 3,
                    {kUsbEndpointBulkOut, kUsbEndpointBulkIn, kUsbEndpointInterruptIn},
                    2, 1, 2}
{
}

LoopbackClass::~LoopbackClass() = default;

const UsbInterfaceDescription& LoopbackClass::GetInterfaceDescription() { return m_description; }

void LoopbackClass::Configure(CUsbInterfaceClassIoManager* ioManager, std::uint32_t* status)
{
    if (*status == 0) {
        m_io = ioManager;
    }
}

void LoopbackClass::Unconfigure(std::uint32_t*) { m_io = nullptr; }

void LoopbackClass::Record(LoopbackEvent event)
{
    std::lock_guard<std::mutex> g(m_lock);
    m_events.push_back(std::move(event));
    m_changed.notify_all();
}

bool LoopbackClass::WaitFor(LoopbackEvent::Type type, std::size_t count, std::uint32_t ms)
{
    std::unique_lock<std::mutex> lk(m_lock);
    return m_changed.wait_for(lk, std::chrono::milliseconds(ms), [&] {
        std::size_t n = 0;
        for (const LoopbackEvent& e : m_events) n += e.type == type ? 1 : 0;
        return n >= count;
    });
}

std::vector<LoopbackEvent> LoopbackClass::Events()
{
    std::lock_guard<std::mutex> g(m_lock);
    return m_events;
}

std::size_t LoopbackClass::Count(LoopbackEvent::Type type)
{
    std::lock_guard<std::mutex> g(m_lock);
    std::size_t n = 0;
    for (const LoopbackEvent& e : m_events) n += e.type == type ? 1 : 0;
    return n;
}

void LoopbackClass::Arm(std::uint32_t* status)
{
    std::uint32_t size = m_receiveSize;
    if (!m_sizes.empty()) {
        size = m_sizes.front();
        m_sizes.erase(m_sizes.begin());
    }
    m_receive.SetWindow(0, size, status);
    m_io->StartReceive(kUsbEndpointBulkOut, &m_receive, status);
}

void LoopbackClass::Send(std::uint32_t kind, const std::vector<std::uint8_t>& data,
                         std::uint32_t* status)
{
    CByteBuffer& buffer = kind == kUsbEndpointInterruptIn ? m_interrupt : m_send;
    CUsbDeviceManager* manager = m_io->GetDeviceManager();
    manager->DisableAsynchronousEventDispatching(status);
    if (!data.empty()) std::memcpy(buffer.GetStorage(), data.data(), data.size());
    buffer.SetWindow(0, static_cast<std::uint32_t>(data.size()), status);
    m_io->StartSend(kind, &buffer, status);
    std::uint32_t enable = 0;
    manager->EnableAsynchronousEventDispatching(&enable);
}

std::uint32_t LoopbackClass::Abort(std::uint32_t kind, std::uint32_t* status)
{
    CUsbDeviceManager* manager = m_io->GetDeviceManager();
    manager->DisableAsynchronousEventDispatching(status);
    const std::uint32_t count = m_io->Abort(kind, status);
    std::uint32_t enable = 0;
    manager->EnableAsynchronousEventDispatching(&enable);
    return count;
}

void LoopbackClass::OnClassRequest(const UsbSetupPacket& setup, std::uint32_t* status)
{
    Record({LoopbackEvent::ClassRequest, setup.bRequest, setup.wValue, setup.wIndex, {}});
    if (setup.bRequest == 1 && (setup.bmRequestType & 0x80) != 0) {
        std::memcpy(m_control.GetStorage(), "LB", 2);
        m_control.SetWindow(0, setup.wLength < 2 ? setup.wLength : 2, status);
        m_io->StartSend(kUsbEndpointControl, &m_control, status);
        return;
    }
    m_io->Halt(kUsbEndpointControl, status);
}

void LoopbackClass::OnOutComplete(std::uint32_t kind, std::uint32_t code, std::uint32_t bytes,
                                  std::uint32_t* status)
{
    LoopbackEvent event{LoopbackEvent::Out, kind, code, bytes, {}};
    if (kind == kUsbEndpointBulkOut) {
        event.data.assign(m_receive.GetStorage(), m_receive.GetStorage() + bytes);
    }
    if (kind == kUsbEndpointBulkOut) {
        // Before the event is seen by the test thread.
        if (m_holdInOut) {
            m_holdInOut = false;
            m_io->GetDeviceManager()->DisableAsynchronousEventDispatching(status);
        }
        if (m_enableInOut) {
            m_enableInOut = false;
            m_io->GetDeviceManager()->EnableAsynchronousEventDispatching(status);
        }
        std::function<void()> action;
        {
            std::lock_guard<std::mutex> g(m_lock);
            action.swap(m_action);
        }
        if (action) action();
    }
    Record(event);
    if (kind != kUsbEndpointBulkOut || code == kUsbCompletionAborted) {
        return;
    }
    if (m_echo) {
        if (bytes > 0) std::memcpy(m_send.GetStorage(), event.data.data(), bytes);
        m_send.SetWindow(0, bytes, status);
        m_io->StartSend(kUsbEndpointBulkIn, &m_send, status);
    } else if (m_rearm) {
        Arm(status);
    }
}

void LoopbackClass::OnInComplete(std::uint32_t kind, std::uint32_t code, std::uint32_t bytes,
                                 std::uint32_t* status)
{
    Record({LoopbackEvent::In, kind, code, bytes, {}});
    if (kind == kUsbEndpointBulkIn && m_echo && m_rearm && code != kUsbCompletionAborted) {
        Arm(status);
    }
}

void LoopbackClass::OnActivate(std::uint32_t, std::uint32_t* status)
{
    Record({LoopbackEvent::Activate, 0, 0, 0, {}});
    if (m_rearm) {
        Arm(status);
    }
}

void LoopbackClass::OnDeactivate(std::uint32_t*) { Record({LoopbackEvent::Deactivate, 0, 0, 0, {}}); }

void LoopbackClass::OnSuspend(std::uint32_t*) { Record({LoopbackEvent::Suspend, 0, 0, 0, {}}); }

}  // namespace usbtest
