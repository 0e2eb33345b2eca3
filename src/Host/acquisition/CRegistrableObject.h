// The objects the acquisition thread waits on (the two message pipes and the DSP interrupt
// device), each holding the descriptor of its device, and the two messages the pipes carry.
//
// Other threads reach the acquisition thread only through these pipes:
//  - "/dev/pipeHostAcqMsg" carries PipeMsg (initiations and bus triggers);
//  - "/dev/pipeHostAcqAbort" carries AbortMsg (abort requests and errors to fail with).
// A message is written and read whole; several threads may write to the same pipe.
#pragma once

#include <array>
#include <cstdint>
#include <vector>

#include "platform/kernel/Kernel.h"

namespace Korvex {

constexpr const char* AcqMessagePipePath = "/dev/pipeHostAcqMsg";
constexpr const char* AcqAbortPipePath = "/dev/pipeHostAcqAbort";

// A sender's completion semaphore. A message word has 32 bits, too few for an address on
// every target, so a message names the semaphore by its token: a non-zero number given out
// at construction and valid until destruction. Token 0 means "no semaphore".
class CCompletionSemaphore {
public:
    CCompletionSemaphore();  // count 0
    ~CCompletionSemaphore();
    CCompletionSemaphore(const CCompletionSemaphore&) = delete;
    CCompletionSemaphore& operator=(const CCompletionSemaphore&) = delete;

    std::uint32_t Token() const { return token; }
    kernel::Semaphore* Get() { return &semaphore; }
    // Back to count 0 before the next message is sent.
    void Reset();
    // Without time-out; false when the wait was broken.
    bool Wait();

    // The semaphore a token names; null for 0 or a token no longer given out.
    static kernel::Semaphore* Find(std::uint32_t token);
    // Posts the semaphore a token names; nothing for 0 or a token no longer given out.
    static void Post(std::uint32_t token);

private:
    kernel::Semaphore semaphore;
    std::uint32_t token;
};

// 16 bytes: four little-endian words {command, completion token, 0, 0}.
struct PipeMsg {
    static constexpr std::uint32_t Words = 4;
    enum eCommand : std::uint32_t {
        Initiate = 1,    // from InitiateTrigger
        BusTrigger = 2,  // from SendBusTrigger
    };

    std::uint32_t command = 0;
    std::uint32_t completion = 0;  // posted by the reader right after reading, 0: none
    std::uint32_t reserved[2] = {0, 0};

    std::array<std::uint32_t, Words> ToWords() const;
    static PipeMsg FromWords(const std::array<std::uint32_t, Words>& words);
};

// 8 bytes: two little-endian words {reason, completion token}.
struct AbortMsg {
    static constexpr std::uint32_t Words = 2;
    enum eReason : std::uint32_t {
        AbortRequest = 0,  // any other reason is an eError code to fail with
    };

    std::uint32_t reason = 0;
    std::uint32_t completion = 0;  // posted once the abort is done, 0: none

    std::array<std::uint32_t, Words> ToWords() const;
    static AbortMsg FromWords(const std::array<std::uint32_t, Words>& words);
};

// Opens its device read-write at construction and closes it at destruction (also when the
// open failed). Nothing is logged; the owner checks valid.
class CRegistrableObject {
public:
    explicit CRegistrableObject(const char* path);
    virtual ~CRegistrableObject();
    CRegistrableObject(const CRegistrableObject&) = delete;
    CRegistrableObject& operator=(const CRegistrableObject&) = delete;

    const std::int32_t fd;     // -1 when the open failed
    const std::uint8_t valid;  // 1 when fd is not -1
};

template <typename Msg>
class CMailBox : public CRegistrableObject {
public:
    explicit CMailBox(const char* path) : CRegistrableObject(path) {}

    // Queues one message whole (waits while the pipe is full); false when it was not written.
    bool Write(const Msg& message);
    // Takes the oldest message (waits while none is queued); false when no whole message
    // could be read.
    bool Read(Msg& message);
    // Takes every message queued now without waiting, posts the completion semaphore of
    // each and returns them oldest first.
    std::vector<Msg> Drain();
};

// The DSP's host interrupt: readable while the DSP holds it raised, until it is
// acknowledged through the host port. Never read.
class CDspIntr : public CRegistrableObject {
public:
    CDspIntr();
};

extern template class CMailBox<PipeMsg>;
extern template class CMailBox<AbortMsg>;

// The reader's half of the PipeMsg handshake: reads the oldest message and posts its
// completion semaphore at once, before the command is acted on. false: nothing read.
bool TakePipeMsg(CMailBox<PipeMsg>& mailbox, PipeMsg& message);

// While no measurement is initiated a bus trigger has nothing to release: it was accepted
// while the last measurement ran and stayed queued. Such a message (already taken, its
// semaphore posted) is dropped with one log line. true when the message was dropped.
bool DropStrayBusTrigger(const PipeMsg& message);

}  // namespace Korvex
