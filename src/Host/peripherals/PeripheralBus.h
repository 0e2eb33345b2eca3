// Link layer to the peripheral controller: checked frames, the status byte and the wait
// until ready, the request/acknowledge transaction with retries, the adaptive bus clock, the
// bus lock and the start-up pulse.
//
// Frame: [address byte][length L, 2 bytes BE][payload][check], the XOR of the whole frame 0.
// Requests go to the even address bytes 0x20..0x2C, the status frame (5 bytes) is read at
// 0x21 and a data reply at request + 1. Status byte: bit 0 ready, bits 1-3 the acknowledge
// code of the last request (4 = refused), bits 4-7 more data pending.
//
// The bus lock is a leaf lock: held for one whole exchange with the controller (wait,
// request, acknowledge, second wait, reply) and never while waiting for another lock. It is
// not recursive: an operation below that takes it must not be called with it held. The
// link-layer state (flags, good-frame counter, clock) is touched only with it held.
#pragma once

#include <cstdint>
#include <vector>

namespace Korvex {

// Result of one transaction.
enum ePeripheralErrorType : std::uint32_t {
    ePeripheralOk = 0,
    ePeripheralTimeout = 16,       // no good status frame in 5 reads, or not ready in 50 polls
    ePeripheralWriteFailure = 32,  // the request was not sent, or refused (code 4)
    ePeripheralMorePending = 48,   // ok, more data pending
};

constexpr std::uint8_t kPeripheralStatusAddress = 0x21;
constexpr std::uint32_t kPeripheralClockLow = 10000;
constexpr std::uint32_t kPeripheralClockMid = 50000;
constexpr std::uint32_t kPeripheralClockHigh = 100000;

// ---- the bus lock ----
void PeripheralBusLock();
void PeripheralBusUnlock();
class CPeripheralBusLock {
public:
    CPeripheralBusLock() { PeripheralBusLock(); }
    ~CPeripheralBusLock() { PeripheralBusUnlock(); }
    CPeripheralBusLock(const CPeripheralBusLock&) = delete;
    CPeripheralBusLock& operator=(const CPeripheralBusLock&) = delete;
};

// True when length is 0 or the XOR of the length bytes is 0.
bool PeripheralFrameCheck(const std::uint8_t* buffer, std::uint16_t length);

// Under the bus lock: GPB7 (the controller's start-up line) as an input, and the frame
// transfers bound to the board's I2C bus.
void PeripheralBusInit();
void SetPeripheralTolerantPolling(std::uint8_t on);

// ---- with the bus lock held by the caller ----
// Sends one request and collects its acknowledge code (S & 0x0E of the acknowledging status).
ePeripheralErrorType PeripheralBusTransaction(const std::uint8_t* frame, std::uint32_t& ackCode);
// Waits until the controller is ready, sleeping pollTicks after each poll; status receives
// the last good status byte.
ePeripheralErrorType PeripheralWaitReadyLocked(std::uint8_t& status, unsigned pollTicks = 10);
// Up to 5 reads of the frame at addressByte, each checked (and of exactly `expected` bytes
// when that is not 0) and fed to the clock adaptation; the good frame is copied into frame.
bool PeripheralReadFrameLocked(std::uint8_t addressByte, std::vector<std::uint8_t>& frame,
                               std::uint32_t expected = 0);
// 0 and 48 -> 0, 16 -> 12, 32 -> 11, else 47.
int PeripheralErrorToCode(ePeripheralErrorType result);

// ---- each takes the bus lock ----
int PeripheralWaitReady(std::uint8_t* status);
int PeripheralTransact(const std::uint8_t* frame);
// One data frame of any length at addressByte into the caller's vector; 0, or 12 after 5
// bad reads.
int PeripheralReadReply(std::uint8_t addressByte, std::vector<std::uint8_t>& frame);
// The start-up request and the pulse on the start-up line; with waitReady also the wait for
// ready and the clock back to 100 kHz.
void PeripheralStartup(bool waitReady);

// ---- link-layer state, for the diagnostics and tests ----
std::uint32_t PeripheralBusClock();
bool PeripheralMorePending();

}  // namespace Korvex
