// A device session: joins one device of the application to one physical interface. It
// holds the event slots, the event queue, the input and response descriptors and the
// message-exchange machine.
//
// Operations run on the application's threads under the session mutex and hold the
// transport while they work (the frame: lock; check the interface; hold; work; release
// when the queue is below half; unlock). Reports run on the transport's thread without
// the session mutex: the transport hold is what keeps them apart from operations.
#pragma once

#include <atomic>
#include <cstdint>

#include "engine/os/OSMutex.h"
#include "engine/session/EventQueue.h"
#include "engine/session/MessageExchange.h"

namespace Korvex {

class CMessageDescriptor;
class CPhysicalInterface;

class CDeviceSession {
public:
    static constexpr std::uint32_t kEventSlots = 16;
    static constexpr std::uint32_t kQueueCapacity = 10;

    // Event indices.
    enum : std::uint32_t {
        kMessageReceivedEvent = 0,
        kResponseDoneEvent = 1,
        kResponseRequestedEvent = 2,
        kTriggerEvent = 3,
        kDeviceClearEvent = 4,
        kRemoteLocalEvent = 5,
        kInterfaceEvent = 6,
        kStatusByteRequestEvent = 7,
    };
    // Event codes.
    enum : std::uint32_t {
        kCodeMessageEnd = 0,
        kCodeMessageBufferFull = 1,
        kCodeUnterminated = 3,
        kCodeResponseSent = 8,
        kCodeResponseInterrupted = 9,
        kCodeResponseCancelled = 10,
        kCodeResponseRequested = 16,
        kCodeTrigger = 24,
        // A trigger waits behind the message being processed (see TakePendingTrigger).
        kCodeTriggerWaiting = 25,
        kCodeDeviceClear = 32,
        kCodeStatusByteRequest = 36,
        kCodeRemoteLocalFirst = 40,
        kCodeInvalid = 127,
        kDeviceGone = 48,
        kTransferFailed = 49,
        kManagerDestroyed = 52,
    };

    // The construction status tells whether the session is usable (IsValid).
    CDeviceSession(CPhysicalInterface* physicalInterface, std::uint32_t* status);
    ~CDeviceSession();
    CDeviceSession(const CDeviceSession&) = delete;
    CDeviceSession& operator=(const CDeviceSession&) = delete;

    bool IsValid() const { return m_valid == 1; }
    std::uint32_t GetConstructionStatus() const { return m_constructionStatus; }
    void SetInUse(std::uint32_t inUse) { m_inUse = inUse; }
    std::uint32_t GetInUse() const { return m_inUse; }

    // ---- operations ----
    void Open(const void* settings, std::uint32_t* status);
    void Close(std::uint32_t* status);
    void SetEventHandler(std::uint32_t index, EventHandler handler, void* context,
                         std::uint32_t* status);
    void ClearEventHandler(std::uint32_t index, std::uint32_t* status);
    void SetInputBuffer(std::uint8_t* data, std::uint32_t size, std::uint32_t* status);
    void DisableInputQueue(std::uint32_t* status);
    void SendOutput(const std::uint8_t* data, std::uint32_t count, std::uint8_t end,
                    std::uint32_t* status);
    void CancelResponse(std::uint32_t* status);
    // 0x5433F when the message's reply is owed to nobody (its link has gone): the device
    // runs no further command of that message.
    void QueryDetected(std::uint32_t* status);
    void InputProcessed(std::uint32_t* status);
    // The device counts a trigger reported to it with kCodeTriggerWaiting itself, for the
    // other interface's FETC? that waits for bus triggers: one counted for it as it arrived,
    // or one that waits behind a message that has not begun while that FETC? waits. The
    // session does not start it. 0x5433F when there is none.
    void TakePendingTrigger(std::uint32_t* status);
    // Another interface's FETC? begins (true) or has ended (false) to wait for bus triggers;
    // stillArmed: at its end a measurement still waits for them (see CExchangeLedger).
    void SetFetchElsewhere(bool waiting, bool stillArmed, std::uint32_t* status);
    void EndMessageDone(std::uint32_t* status);    // slot 17
    void ReportBufferFull(std::uint32_t* status);  // slot 18
    void ReportUnterminated(std::uint32_t* status);
    void CheckInterface(std::uint32_t* status);
    void EnableRelaxedMode(std::uint32_t* status);
    void DisableRelaxedMode(std::uint32_t* status);
    void SetStatusByte(std::uint8_t stb, std::uint32_t* status);
    void RequestService(std::uint32_t* status);
    void ClearServiceRequest(std::uint32_t* status);

    // ---- event side (the event observer) ----
    // Waits for (blocking) or polls the next record that is delivered; records of the
    // message and response slots are dropped while their slot is not installed. Holds the
    // transport while taking and releases it when the queue is below half.
    void GetEvent(bool blocking, EventRecord* record, std::uint32_t* status);
    // Makes one event wait return 0x54357.
    void AbortEventWait(std::uint32_t* status);
    // The device's handler of an acknowledged event (codes 2, 9, 16, 32) has finished.
    void EventDone(std::uint32_t code, std::uint32_t result, std::uint32_t* status);

    // ---- reports from the physical interface (transport thread, no session mutex) ----
    // The host writes while no input buffer is posted.
    void ReportHostWriting();
    // A new host message reaches the session (first data, or the transport's notification).
    void ReportNewInput();
    // The current input descriptor completed (END, or the buffer is full).
    void ReportMessageReceived(CMessageDescriptor* descriptor, bool end,
                               std::uint32_t* status);
    // The host reads while no response is queued.
    void ReportHostReading();
    void ReportResponseDone(CMessageDescriptor* descriptor, std::uint32_t* status);
    void ReportTrigger(std::uint32_t* status);
    void ReportDeviceClear(std::uint32_t* status);
    // value 1..4 is posted as 40..43, anything else as 127.
    void ReportRemoteLocal(std::uint32_t value, std::uint32_t* status);
    void ReportDeviceEvent(std::uint32_t code, std::uint32_t* status);
    // A device event from a thread other than the transport's delivery thread: under the
    // session mutex with the transport held, like an operation.
    void ReportDeviceEventOutside(std::uint32_t code, std::uint32_t* status);
    // A serial poll waits for the device's status byte (code 36, slot 7); not 0 when
    // nothing was posted.
    void ReportStatusByteRequest(std::uint32_t* status);

    // ---- for the event side and tests ----
    CEventQueue* GetQueue() const { return m_queue; }
    CPhysicalInterface* GetInterface() const { return m_interface.load(); }
    const CMessageExchange& GetExchange() const { return m_exchange; }
    bool InputPosted() const { return m_inputPosted != 0; }
    bool ResponseQueued() const { return m_responseQueued != 0; }
    // For a transport that ends the host's session (a USB bus reset or new configuration)
    // from a pass of its own, while no operation or report runs: true while the host has
    // left something here that a device clear would end: a message begun and not ended, a
    // message received that the device has not processed yet (or one waiting behind it), a
    // query being answered, or a response not yet read. A finished exchange gives false.
    bool ExchangeUnfinished() const;
    // A complete message waits for the device, which has not begun it: no query announced,
    // no response queued (transport held, or inside the transport's own pass).
    bool MessageNotBegun() const;

private:
    struct EventSlot {
        std::uint8_t installed;
        EventHandler handler;
        void* context;
    };

    // Steps 1-3 of the frame; false (status set) when the work must not run. holdAlways:
    // also an inactive interface is refused.
    bool Enter(bool requireActive, std::uint32_t* status, bool* held);
    // Steps 5-6.
    void Leave(bool held, std::uint32_t* status);

    // Posts into the slot of index (nothing when it is not installed: *posted false).
    void PostEvent(std::uint32_t index, std::uint32_t code, std::uint32_t argument,
                   void* descriptor, std::uint8_t acknowledge, bool* posted,
                   std::uint32_t* status);
    // Posts what the message exchange has due (INTERRUPTED, UNTERMINATED, response
    // requested, trigger).
    void PostDueReports();
    // The ledger of the bound interface says the message's reply is owed to nobody.
    bool ReplyOwedToNobody() const;
    // The message in the exchange is caught behind another interface's FETC? waiting for
    // bus triggers (marked in the ledger when it is found so now).
    bool CaughtBehindFetch();
    void DropInput();
    void DropResponse();

    std::uint32_t m_valid = 0;
    std::uint32_t m_inUse = 0;
    std::uint32_t m_constructionStatus = 0x543FF;
    COSMutex m_mutex;
    std::atomic<CPhysicalInterface*> m_interface{nullptr};
    EventSlot m_slots[kEventSlots] = {};
    CEventQueue* m_queue = nullptr;
    CMessageDescriptor* m_input = nullptr;
    std::uint8_t m_inputPosted = 0;
    CMessageDescriptor* m_response = nullptr;
    std::uint8_t m_responseQueued = 0;
    // A host message has started and has not ended yet.
    std::uint8_t m_messageStarted = 0;
    CMessageExchange m_exchange;
};

} // namespace Korvex
