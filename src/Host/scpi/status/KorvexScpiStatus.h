// The IEEE 488.2/SCPI status registers and error queue of one host session, plus the
// instrument-wide and global blocks that have no session.
//
// Registers 0-6 (eStatusRegister) each keep a condition, the condition of the last
// evaluation, PTR and NTR filters, a latched event and an enable. An evaluation latches
// the filtered condition edges into the events, passes each register's enabled events up
// as a summary bit (StatusSummaryLinkTable), builds the status byte and marks a service
// request pending when a bit is newly both set and enabled in the status byte. Pending
// requests are handed to the session's IServiceRequester.
//
// Every operation runs under the one recursive status lock (shared by all blocks), so they
// call one another freely. Lock order: the status lock before the session-list mutex.
// Operations whose lock wait is broken (kernel thread release) do nothing.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <string>

#include "Host/parameters/RecursiveMutex.h"
#include "Host/scpi/status/ServiceRequester.h"
#include "Host/scpi/status/StatusTables.h"

namespace Korvex {

class CKorvexScpiStatus {
public:
    // The host's pending-response pointer: not null while a response is queued in the
    // engine. Read without the host mutex, hence atomic.
    using MavSource = std::atomic<const void*>;

    static constexpr std::uint32_t ErrorQueueCapacity = 10;

    // device: the session's engine device, or null for a block with no session.
    // mav: the host's pending-response pointer, or null.
    // templateBlock: a block whose conditions the new block starts with, or null.
    // The block enters the session list.
    CKorvexScpiStatus(IServiceRequester* device, const MavSource* mav,
                      const CKorvexScpiStatus* templateBlock);
    // Leaves the session list (under the status lock, so no walk or evaluation is running).
    ~CKorvexScpiStatus();
    CKorvexScpiStatus(const CKorvexScpiStatus&) = delete;
    CKorvexScpiStatus& operator=(const CKorvexScpiStatus&) = delete;

    // Every operation below accepts a null block and then does nothing (getters give 0).
    // Row and register arguments out of their table's range do nothing, except error rows,
    // which act as "Firmware error".

    static void Evaluate(CKorvexScpiStatus* block);

    // Sets (set != 0) or clears the bit of a status-bit row; an all-sessions row goes to
    // every block. Unless deferred, the block(s) are evaluated and pending requests raised.
    static void SetStatusBit(CKorvexScpiStatus* block, std::uint32_t row, std::uint8_t set,
                             std::uint8_t defer);
    // SetStatusBit on the instrument-wide block.
    static void SetInstrumentStatusBit(std::uint32_t row, std::uint8_t set, std::uint8_t defer);
    static void SetStatusBitAllSessions(std::uint32_t row, std::uint8_t set, std::uint8_t defer);

    // Queues an error row (row 0 posts nothing); an all-sessions row goes to every block.
    // Unless deferred, the block(s) are evaluated and pending requests raised.
    static void PostError(CKorvexScpiStatus* block, std::uint32_t row, std::uint8_t defer);
    // Queues the row and sets its status bit in this block's condition; no evaluation.
    static void QueueError(CKorvexScpiStatus* block, std::uint32_t row);
    static void QueueErrorAllSessions(std::uint32_t row, std::uint8_t defer);
    // The oldest queued row, removed; 0 ("No error") when the queue is empty.
    static std::uint32_t PopError(CKorvexScpiStatus* block);
    static void GetErrorText(std::uint32_t row, std::int16_t& code, std::string& text);

    // The status byte of the last evaluation (no new evaluation). Bit 6: mode 0 MSS (as
    // *STB? answers), mode 1 the service-request pending flag (the engine's status-byte
    // request), any other mode clear.
    static std::uint8_t ReadStatusByte(CKorvexScpiStatus* block, std::uint8_t mode);

    // Stores an enable without bit 15 (and without bit 6 for the status byte) and writes the
    // stored value back to value. Unless deferred, evaluates and raises a pending request.
    static void SetEnable(CKorvexScpiStatus* block, std::uint32_t reg, std::uint16_t& value,
                          std::uint8_t defer);
    static std::uint16_t GetEnable(CKorvexScpiStatus* block, std::uint32_t reg);
    static std::uint16_t GetPTR(CKorvexScpiStatus* block, std::uint32_t reg);
    static std::uint16_t GetNTR(CKorvexScpiStatus* block, std::uint32_t reg);
    static void SetPTR(CKorvexScpiStatus* block, std::uint32_t reg, std::uint16_t value);
    static void SetNTR(CKorvexScpiStatus* block, std::uint32_t reg, std::uint16_t value);
    static void ClearEvent(CKorvexScpiStatus* block, std::uint32_t reg);
    // Evaluate, then read (reading does not clear).
    static std::uint16_t ReadEvent(CKorvexScpiStatus* block, std::uint32_t reg);
    static std::uint16_t ReadCondition(CKorvexScpiStatus* block, std::uint32_t reg);
    // Evaluate, read and clear the event register under one hold of the status lock, so an
    // event latched by another thread is either in this result or in the next one.
    static std::uint16_t ReadAndClearEvent(CKorvexScpiStatus* block, std::uint32_t reg);

    // STATus:PRESet: preset filters and OPERation/QUEStionable enables, then evaluate.
    static void Preset(CKorvexScpiStatus* block);
    // *CLS: clear the events and the error queue, then evaluate.
    static void Clear(CKorvexScpiStatus* block);

    static void AddSession(CKorvexScpiStatus* block);
    // Evaluates every block of the session list and raises its pending request. The parser
    // thread calls it at the end of every program message.
    static void UpdateAllSessions();

    // The shared status lock. Built on first use, never destroyed.
    static CRecursiveMutex& StatusLock();

private:
    using Registers = std::array<std::uint16_t, StatusRegisterCount>;

    // Callers hold the status lock.
    void EvaluateLocked();
    void RaiseServiceRequest();
    void EvaluateAndRaise();
    void QueueErrorLocked(std::uint32_t row);
    void SetBitLocked(std::uint32_t row, std::uint8_t set);

    std::uint8_t initialised;
    IServiceRequester* device;
    const MavSource* mavSource;
    Registers condition;
    Registers previous;
    Registers ptr;
    Registers ntr;
    Registers event;
    Registers enable;
    Registers conditionMask;
    std::array<std::uint32_t, ErrorQueueCapacity> errorQueue;
    std::uint32_t errorCount;
    std::uint8_t mss;
    std::uint8_t serviceRequestPending;
    std::uint16_t previousSre;
};

// The instrument-wide block (no device, no MAV source, no template) and the global block
// whose conditions every new host block starts with. Both are built on first use (and at
// the latest during static initialisation), stay in the session list and are never
// destroyed.
CKorvexScpiStatus& InstrumentBlock();
CKorvexScpiStatus& GlobalBlock();

}  // namespace Korvex
