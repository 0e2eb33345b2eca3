// The status byte of a physical interface and the serial poll waiting for it.
//
// The byte is stored with RQS (bit 6) cleared; the service-request machine adds RQS when
// it reports the byte. While the device answers status-byte requests (it installed the
// status-byte request handler), a serial poll asks the device for a fresh byte and waits
// for its SetStatusByte; otherwise the poll is answered at once with the stored byte.
//
// The requester is forgotten before it is called, so a poll that begins inside the call
// (the transport ends one poll and starts the next on the same thread) keeps its wait.
//
// No lock: operations change the holder with the transport held, serial polls reach it
// inside the transport's delivery.
#pragma once

#include <cstdint>

namespace Korvex {

class CServiceRequestStateMachine;
class CStatusByteStateMachineEventObserver;

class CStatusByteHolder {
public:
    static constexpr std::uint8_t kRqs = 0x40;

    explicit CStatusByteHolder(CStatusByteStateMachineEventObserver* observer);
    CStatusByteHolder(const CStatusByteHolder&) = delete;
    CStatusByteHolder& operator=(const CStatusByteHolder&) = delete;

    // Stores stb without RQS; when the device answers requests and a poll waits, hands
    // the stored byte to the waiting requester. The status is the requester's.
    void SetStatusByte(std::uint8_t stb, std::uint32_t* status);

    // The device installed its status-byte request handler.
    void EnableStatusByteRequests();
    // The device removed it: a waiting poll gets the stored byte now.
    void DisableStatusByteRequests(std::uint32_t* status);

    // A serial poll wants the status byte. Nothing on a failed status. Without requests
    // the stored byte goes to requester at once; else the requester waits and the device
    // is asked. When the request cannot be posted (queue full), the poll is answered at
    // once with the stored byte and the status is that answer's.
    void PollStart(CServiceRequestStateMachine* requester, std::uint32_t* status);
    // The poll is over: forgets the requester. Nothing on a failed status.
    void PollEnd(std::uint32_t* status);

    std::uint8_t GetStatusByte() const { return m_statusByte; }
    bool AnswersRequests() const { return m_answersRequests != 0; }
    CServiceRequestStateMachine* GetRequester() const { return m_requester; }

private:
    // Forgets the requester, then hands it the stored byte.
    void Answer(std::uint32_t* status);

    CStatusByteStateMachineEventObserver* m_observer;
    std::uint8_t m_statusByte = 0;
    std::uint8_t m_answersRequests = 0;
    CServiceRequestStateMachine* m_requester = nullptr;
};

} // namespace Korvex
