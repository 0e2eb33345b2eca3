// An IEEE 488.2 device of the application: the instrument code derives from it (through
// CTcpIpDevice or CUsbDevice) and overrides the callbacks, which run on the session's
// event observer thread. Every operation returns a published ZODEVICE_STATUS.
//
// A leaf lock guards the interface pointer, the buffer pointers, the switches and
// lastRemoteLocal; it is never held while calling the session, a callback, or waiting.
// An operation counts itself in-flight while it works; Close marks the device closed
// (later calls report 0x54318), waits until nothing is in flight and only then closes
// the session, so no operation runs on a destroyed interface. Close inside a callback
// would join its own thread: it reports 0x54350 and changes nothing.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <mutex>

#include "engine/status/EngineStatus.h"

namespace Korvex {

class CZoDeviceBuffer;
class CZoDeviceInterface;
struct ZoOpenDescriptor;

class C4882Device {
public:
    C4882Device();
    // Closes the session as Close does (status ignored).
    virtual ~C4882Device();
    C4882Device(const C4882Device&) = delete;
    C4882Device& operator=(const C4882Device&) = delete;

    // ---- callbacks (defaults do nothing) ----
    // reason: 0 END, 1 buffer full, 2 UNTERMINATED, 3 not used here.
    virtual void OnMessageReceived(std::uint32_t reason, CZoDeviceBuffer* buffer);
    // reason: 0 sent, 1 response requested, 2 INTERRUPTED, 3 cancelled by a clear.
    virtual void OnResponseDone(std::uint32_t reason, CZoDeviceBuffer* buffer);
    virtual void OnStatusByteRequest();
    virtual void OnDeviceClear();
    virtual void OnTrigger();
    // A trigger waits behind the message being processed; it starts (OnTrigger) once that
    // message is processed, unless the device counts it itself and takes it first
    // (TakePendingTrigger).
    virtual void OnTriggerWaiting();
    // 0 local, 1 remote, 2 local lockout, 3 remote lockout.
    virtual void OnRemoteLocalChanged(std::uint32_t value);
    virtual void OnInterfaceEvent(std::uint32_t value);

    // 0x54317 (unpublished) when already open.
    ZODEVICE_STATUS Open(const ZoOpenDescriptor* descriptor, std::uint32_t interfaceArgument,
                         const void* settings, bool useEventThread);
    ZODEVICE_STATUS Close();
    ZODEVICE_STATUS EnableInputQueue(CZoDeviceBuffer* buffer);
    ZODEVICE_STATUS QueueResponse(CZoDeviceBuffer* buffer, bool end);
    ZODEVICE_STATUS SetStatusByte(std::uint8_t stb);
    ZODEVICE_STATUS RequestService();
    // 0x5433F: the message's reply is owed to nobody (its link has gone).
    ZODEVICE_STATUS QueryDetected();
    ZODEVICE_STATUS InputProcessed();
    ZODEVICE_STATUS ReportUnterminated();
    // Takes one trigger reported with OnTriggerWaiting, to count it for the other
    // interface's FETC? that waits for bus triggers: it will not start. 0x5433F when none
    // is to be counted so.
    ZODEVICE_STATUS TakePendingTrigger();
    // Another interface's FETC? begins (true) or has ended (false) to wait for bus triggers;
    // stillArmed: at its end a measurement still waits for them (a clear ended it).
    ZODEVICE_STATUS SetFetchElsewhere(bool waiting, bool stillArmed = false);
    ZODEVICE_STATUS EnableStatusByteRequestEvent();
    ZODEVICE_STATUS EnableTriggerEvent();
    ZODEVICE_STATUS EnableRemoteLocalEvent(std::uint32_t reportLockout);

    bool IsOpen();

private:
    enum Switch : std::uint32_t {
        kSecondResponseDone = 0,
        kStatusByteRequest = 1,
        kTrigger = 2,
        kRemoteLocal = 3,
        kInterfaceEventSwitch = 4,
        kRelaxed = 5,
        kSwitches = 6,
    };

    static std::uint32_t HandleMessage(std::uint32_t code, std::uint32_t argument,
                                       void* context, void* descriptor);
    static std::uint32_t HandleResponse(std::uint32_t code, std::uint32_t argument,
                                        void* context, void* descriptor);
    static std::uint32_t HandleStatusByteRequest(std::uint32_t code, std::uint32_t argument,
                                                 void* context, void* descriptor);
    static std::uint32_t HandleDeviceClear(std::uint32_t code, std::uint32_t argument,
                                           void* context, void* descriptor);
    static std::uint32_t HandleTrigger(std::uint32_t code, std::uint32_t argument,
                                       void* context, void* descriptor);
    static std::uint32_t HandleRemoteLocal(std::uint32_t code, std::uint32_t argument,
                                           void* context, void* descriptor);
    static std::uint32_t HandleInterfaceEvent(std::uint32_t code, std::uint32_t argument,
                                              void* context, void* descriptor);

    // The interface with the device counted in-flight, or null (not open / closing).
    CZoDeviceInterface* BeginOperation();
    void EndOperation();
    // An operation without arguments on the interface.
    template <typename Work>
    ZODEVICE_STATUS Operate(Work work);
    ZODEVICE_STATUS EnableEvent(Switch which, std::uint32_t index);
    // Session Close, unregistration; the fields cleared when that succeeded.
    std::uint32_t CloseSession(CZoDeviceInterface* deviceInterface);

    std::mutex m_lock;
    std::condition_variable m_idle;
    CZoDeviceInterface* m_interface = nullptr;
    std::uint8_t m_eventThreadStarted = 0;
    CZoDeviceBuffer* m_inputBuffer = nullptr;
    CZoDeviceBuffer* m_responseBuffer = nullptr;
    std::uint8_t m_switches[kSwitches] = {};
    std::uint32_t m_reportLockout = 0;
    std::uint32_t m_lastRemoteLocal = 0;
    bool m_closing = false;
    bool m_opening = false;
    std::uint32_t m_inFlight = 0;
};

} // namespace Korvex
