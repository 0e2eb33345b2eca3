// The bulk side of the USBTMC-USB488 class: Bulk-OUT transfers (12-byte header, message
// bytes, alignment bytes) into the engine's input buffers, responses out as Bulk-IN
// transfers (12-byte header, response bytes), and the bulk half of the abort and clear
// requests.
//
// Bulk-OUT: idle (header receive armed) -> message active (engine buffers posted one at a
// time and filled) -> idle when TransferSize bytes have arrived, on error or on abort.
// Bulk-IN: idle -> requested (REQUEST_DEV_DEP_MSG_IN accepted) -> transfer queued -> idle
// on completion or abort. While a request is answered no header receive is armed (the
// next one is armed when the Bulk-IN transfer ends), except while another interface's FETC?
// waits for bus triggers (the engine's ledger says so): then a TRIGGER sent before the reply
// goes out, while the request's message waits behind that FETC?, reaches the engine at once;
// any other header that comes meanwhile is held, nothing behind it is taken, and it is taken
// as it came once the request has ended, in a pass of the interrupt service (the end of the
// Bulk-IN transfer, or the next class event when the engine ended the request itself).
//
// The engine gets windows only from an active message (input) or an active request
// (response); every engine receive or send that ends, however it ends, is reported back
// (OnInputReceived / OnOutputSent), so the engine never waits for a transfer that is gone.
// A response longer than one request's TransferSize continues under the next request.
//
// Runs on the "USB Interrupt Handler" thread (completions, class requests) and on engine
// threads holding the transport (posts, sends, window limits, the ledger's observer); no
// lock of its own.
#pragma once

#include <cstdint>

#include "engine/buffer/ByteBuffer.h"

namespace Korvex {

class CPhysicalInterface;
class CUsb488Class;
class CUsbInterfaceClassIoManager;

// One DEV_DEP_MSG_OUT message.
class CUsb488BulkOutState {
public:
    explicit CUsb488BulkOutState(std::uint32_t* status);
    // Forgets the message (the posted buffer must have been unchained first).
    void Reset();

    std::uint8_t bTag = 0;
    std::uint8_t alignment = 0;  // 0..3 bytes after the message
    std::uint32_t transferSize = 0;
    std::uint32_t expected = 0;  // message bytes still to come
    std::uint8_t active = 0;
    std::uint8_t eom = 0;
    std::uint8_t alignmentChained = 0;
    CByteBuffer alignmentBuffer{3};
    CByteBuffer* posted = nullptr;  // the engine buffer being filled
    std::uint32_t postedRoom = 0;    // what its receive can take, alignment bytes included
};

// One REQUEST_DEV_DEP_MSG_IN.
class CUsb488BulkInState {
public:
    explicit CUsb488BulkInState(std::uint32_t* status);
    // Ends the request: unchains the response, clears everything but bytesSent.
    void End();

    std::uint8_t bTag = 0;
    std::uint32_t transferSize = 0;  // the host's maximum
    std::uint32_t bytesSent = 0;     // response bytes of the last transfer
    std::uint8_t termCharEnabled = 0;
    std::uint8_t termChar = 0;
    CByteBuffer header{12};
    std::uint8_t queued = 0;       // a Bulk-IN transfer is on the endpoint
    std::uint8_t headerAlone = 0;  // that transfer is a bare header ending an aborted read
    std::uint8_t active = 0;
};

class CUsb488BulkManager {
public:
    // maximumTransfer: the controller's limit (0xFFFFFFFF: none). 0x543F0 when a buffer
    // cannot be made.
    CUsb488BulkManager(CUsb488Class* owner, std::uint32_t maximumTransfer,
                       std::uint32_t* status);
    ~CUsb488BulkManager() = default;
    CUsb488BulkManager(const CUsb488BulkManager&) = delete;
    CUsb488BulkManager& operator=(const CUsb488BulkManager&) = delete;

    void Attach(CUsbInterfaceClassIoManager* io, std::uint32_t* status);
    void Detach();

    // Start of the interface: reception enabled, header receive armed.
    void Arm(std::uint32_t* status);
    // Stop of the interface: header receive cancelled, reception disabled, both states
    // forgotten.
    void Stop();

    // ---- framework events (USB thread) ----
    // result: a completion code (1 normal, 3 aborted, anything else an error).
    void OnBulkOutComplete(std::uint32_t result, std::uint32_t count);
    void OnBulkInComplete(std::uint32_t result, std::uint32_t count);

    // ---- engine side ----
    void RegisterInputBuffer(CByteBuffer* buffer, std::uint32_t* status);
    void RegisterOutputBuffer(CByteBuffer* buffer, std::uint32_t* status);
    // Receives into buffer's window (and the alignment bytes when the window ends the
    // message). 0x543FF when no message waits for a buffer.
    void PostReceiveBuffer(CByteBuffer* buffer, std::uint32_t* status);
    // Sends buffer's window under the active request. 0x543FF, nothing queued, when no
    // request waits for a response.
    void SendResponse(CByteBuffer* buffer, std::uint8_t termCharFound, std::uint8_t eom,
                      std::uint32_t* status);
    // Caps the window of the engine's next chunk: input min(window, bytes still expected,
    // maximum) while a message waits for a buffer, response min(window, TransferSize,
    // maximum) while a request waits for its transfer; else 0.
    void LimitWindow(CByteBuffer* window, bool input);
    // The engine abandons its input / response.
    void CancelInput(std::uint32_t* count, std::uint8_t* end, std::uint32_t* status);
    void CancelResponse(std::uint32_t* count, std::uint32_t* status);

    // ---- for the class requests ----
    // Ends the message in progress; answers NBYTES_RXD (bytes of the message received).
    std::uint32_t AbortBulkOut(std::uint32_t* status);
    // Ends the active request: a transfer in flight is cancelled and reported, else a bare
    // header (TransferSize 0) ends the host's read.
    void AbortBulkIn(std::uint32_t* status);
    // A request with nothing queued yet is dropped (nothing is sent) and the header
    // receive re-armed; a queued transfer is left to the engine's clear.
    void DropRequest();
    // Cancels an armed header receive, drops a held one and disables reception.
    void CancelHeaderReceive(std::uint32_t* status);
    // In a pass: takes the header held behind a request that has ended.
    void TakeHeldHeader();
    // Engine side: another interface's FETC? begins to wait for bus triggers; a request being
    // answered listens for a TRIGGER from now on.
    void OnFetchElsewhere();

    // The engine holds bytes of a message whose end has not come (the header of one taken).
    bool MessageOpen() const { return m_messageOpen != 0; }
    // The engine has dropped its input (a device clear).
    void ForgetMessage() { m_messageOpen = 0; }
    bool BulkOutActive() const { return m_outActive != 0; }
    std::uint8_t BulkOutTag() const { return m_out.bTag; }
    std::uint32_t BulkOutTransferSize() const { return m_out.transferSize; }
    std::uint32_t BulkOutExpected() const { return m_out.expected; }
    bool BulkInActive() const { return m_in.active != 0; }
    std::uint8_t BulkInTag() const { return m_in.bTag; }
    std::uint32_t BulkInBytesSent() const { return m_in.bytesSent; }
    bool ResponseRequested() const { return m_responseRequested != 0; }
    bool ReceptionEnabled() const { return m_receptionEnabled != 0; }
    std::uint8_t TermCharEnabled() const { return m_in.termCharEnabled; }
    std::uint8_t TermChar() const { return m_in.termChar; }

    // count - 12, or 0 below 12; kept as the request's bytes sent.
    std::uint32_t StripUsbtmcBulkInHeader(std::uint32_t count);

private:
    CPhysicalInterface* Engine() const;
    void ArmHeaderReceive();
    // The engine's ledger: another interface's FETC? waits for bus triggers.
    bool FetchElsewhere() const;
    void OnHeader(std::uint32_t result, std::uint32_t count);
    void OnData(std::uint32_t result, std::uint32_t count);
    // Re-arms the header receive after a refused header.
    void ErrorRecovery();
    void FlushBulkOut();
    // Cuts count to the bytes still expected; *end is EOM when the message is complete.
    void Account(std::uint32_t* count, std::uint8_t* end);
    // Takes the posted buffer back (and the alignment bytes chained behind it).
    void Unchain();
    // Hands an ended receive to the engine.
    void DeliverBulkOutData(std::uint32_t count, std::uint8_t end);
    void QueueBulkIn(CByteBuffer* data, std::uint32_t count, std::uint8_t attributes,
                     std::uint32_t* status);
    // Ends the request after its transfer ended with count bytes (header included).
    void FinishBulkIn(std::uint32_t count, bool arm);

    CUsb488Class* m_owner;
    CUsbInterfaceClassIoManager* m_io = nullptr;
    std::uint32_t m_maximumTransfer;
    std::uint8_t m_outActive = 0;
    std::uint8_t m_messageOpen = 0;
    CUsb488BulkOutState m_out;
    std::uint8_t m_responseRequested = 0;
    CUsb488BulkInState m_in;
    std::uint8_t m_headerArmed = 0;
    CByteBuffer m_headerReceive{12};
    // m_headerReceive holds a header (of count bytes) that came while a request was answered.
    std::uint8_t m_headerHeld = 0;
    std::uint32_t m_heldCount = 0;
    std::uint8_t m_receptionEnabled = 0;
};

} // namespace Korvex
