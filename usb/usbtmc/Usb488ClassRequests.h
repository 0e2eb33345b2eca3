// The class-specific control requests of the USBTMC-USB488 interface and its interrupt-IN
// status-byte notification.
//
// Every reply is a control-IN data stage of wLength bytes built in one reply buffer; a
// request that fails its checks (direction, recipient, wLength, wValue where stated) stalls
// the default endpoint and changes nothing. The three pending flags (clear, abort-IN,
// abort-OUT) form one split transaction: any request other than its own CHECK closes a
// finished one silently, and is answered SPLIT_IN_PROGRESS while it still runs.
//
// Notifications: a READ_STATUS_BYTE poll is answered on interrupt-IN with
// {0x80 | its bTag, STB}, a service request with {0x81, STB}; one notification is in
// flight at a time, and a poll or request made meanwhile follows when it has been taken.
//
// Handlers run on the "USB Interrupt Handler" thread; the notification operations come
// from the engine with the transport held. No lock of its own.
#pragma once

#include <cstdint>

#include "engine/buffer/ByteBuffer.h"
#include "usb/core/UsbSetupPacket.h"

namespace Korvex {

class CPhysicalInterface;
class CUsb488Class;
class CUsbInterfaceClassIoManager;

class CUsb488ClassRequests {
public:
    // 0x543F0 when a buffer cannot be made.
    CUsb488ClassRequests(CUsb488Class* owner, std::uint32_t* status);
    virtual ~CUsb488ClassRequests() = default;
    CUsb488ClassRequests(const CUsb488ClassRequests&) = delete;
    CUsb488ClassRequests& operator=(const CUsb488ClassRequests&) = delete;

    void Dispatch(const UsbSetupPacket& setup, std::uint32_t* status);
    void Attach(CUsbInterfaceClassIoManager* io, std::uint32_t* status);
    void Detach();
    // A new Bulk-OUT message starts: the split transaction is over.
    void ResetFlags();
    // Start / stop of the interface (notifications enabled while started).
    void Start();
    void Stop();

    // ---- engine side ----
    void ClearFinished(std::uint32_t* status);
    void ServiceRequest(std::uint32_t* status);
    void ServiceRequestReleased(std::uint32_t* status);
    void SendInterruptNotification(std::uint8_t stb, std::uint32_t* status);

    // ---- completions (USB thread) ----
    void OnControlComplete(std::uint32_t result);
    void OnInterruptComplete(std::uint32_t result);

    std::uint32_t ClearsOutstanding() const { return m_clearsOutstanding; }

private:
    using Handler = void (CUsb488ClassRequests::*)(const UsbSetupPacket&, std::uint32_t*);
    enum Recipient : std::uint8_t { kInterface = 1, kEndpoint = 2 };
    enum Reason : std::uint8_t { kPoll = 0, kServiceRequest = 1 };

    CPhysicalInterface* Engine() const;
    // Class request, device to host, to the recipient, of wLength bytes.
    static bool Accepts(const UsbSetupPacket& setup, Recipient recipient, std::uint16_t length);
    void Stall(std::uint32_t* status);
    // Closes a finished split transaction; false while one still runs.
    bool Guard();
    // Bulk-IN still holds something for the host: a response under way, or a packet in the
    // FIFO. bmClear and bmAbortBulkIn say this, and the checks of both answer PENDING on it.
    bool BulkInHolds();
    // Empties the Bulk-IN FIFO (the tail of a cancelled response, the short packet that ends
    // a read) once the engine's clear has cancelled what it was sending.
    void FlushBulkIn();
    void Reply(const std::uint8_t* bytes, std::uint32_t count, std::uint32_t* status);
    // A request answered with one status byte: false when it was stalled or answered
    // SPLIT_IN_PROGRESS, true when its action is to run.
    bool BeginStatusRequest(const UsbSetupPacket& setup, std::uint32_t* status);
    void ReplyStatus(std::uint8_t value, std::uint32_t* status);
    // Starts a notification: busy, reason, serial poll.
    void BeginNotification(Reason reason, std::uint8_t tag);

    void OnStall(const UsbSetupPacket& setup, std::uint32_t* status);
    void OnInitiateAbortBulkOut(const UsbSetupPacket& setup, std::uint32_t* status);
    void OnCheckAbortBulkOutStatus(const UsbSetupPacket& setup, std::uint32_t* status);
    void OnInitiateAbortBulkIn(const UsbSetupPacket& setup, std::uint32_t* status);
    void OnCheckAbortBulkInStatus(const UsbSetupPacket& setup, std::uint32_t* status);
    void OnInitiateClear(const UsbSetupPacket& setup, std::uint32_t* status);
    void OnCheckClearStatus(const UsbSetupPacket& setup, std::uint32_t* status);
    void OnGetCapabilities(const UsbSetupPacket& setup, std::uint32_t* status);
    void OnIndicatorPulse(const UsbSetupPacket& setup, std::uint32_t* status);
    void OnReadStatusByte(const UsbSetupPacket& setup, std::uint32_t* status);
    void OnRenControl(const UsbSetupPacket& setup, std::uint32_t* status);
    void OnGoToLocal(const UsbSetupPacket& setup, std::uint32_t* status);
    void OnLocalLockout(const UsbSetupPacket& setup, std::uint32_t* status);

    Handler m_table[256];
    CUsb488Class* m_owner;
    CUsbInterfaceClassIoManager* m_io = nullptr;
    CByteBuffer m_reply{24};
    CByteBuffer m_notification{2};
    std::uint32_t m_clearsOutstanding = 0;
    std::uint8_t m_clearPending = 0;
    std::uint8_t m_abortInPending = 0;
    std::uint8_t m_abortOutPending = 0;
    std::uint32_t m_bytesReceived = 0;
    std::uint8_t m_busy = 0;
    std::uint8_t m_wanted = 0;
    std::uint8_t m_statusTag = 0;
    std::uint8_t m_enabled = 0;
    // The latest READ_STATUS_BYTE that passed its checks, and whether one came while a
    // notification was busy.
    std::uint8_t m_lastTag = 0;
    std::uint8_t m_readAgain = 0;
    // What the busy notification answers, and whether it is on the endpoint.
    std::uint8_t m_reason = kPoll;
    std::uint8_t m_notificationQueued = 0;
};

} // namespace Korvex
