// The one waiting primitive of the acquisition thread: a select over the abort mailbox, the
// DSP interrupt device and the message mailbox, with a time-out in milliseconds. Aborts and
// errors sent through the abort mailbox come out of the wait as exceptions.
//
// Also the subscribers that turn parameter changes into acquisition events: a broken NMR
// path aborts the running acquisition; the external reference state drives status row 40.
#pragma once

#include <cstdint>

#include "Host/acquisition/CRegistrableObject.h"

namespace Korvex {

class CParameterNode;

class CEventRegister {
public:
    // Which sources a wait watches (the abort mailbox is selected by the abortable argument).
    enum eEventFlags : std::uint8_t {
        EventMessage = 1,  // the message mailbox
        EventDsp = 2,      // the DSP interrupt device
    };
    enum eEventResult : std::uint32_t {
        ResultMessage = 0,  // a PipeMsg can be read; it is still in the pipe
        ResultDsp = 1,      // the DSP raised its interrupt; already acknowledged
        ResultTimeout = 3,
    };

    // The sources are owned by the controller and outlive the register.
    CEventRegister(CMailBox<AbortMsg>& abortBox, CMailBox<PipeMsg>& messageBox,
                   CDspIntr& dspInt);

    // Waits for the selected sources; a negative time-out waits without limit, 0 polls.
    // When several are ready the abort mailbox comes first, then the DSP, then the message
    // mailbox; the others stay ready for the next wait.
    // Throws CAbortException (abort request, carrying the sender's semaphore), CAcqError
    // (an AbortMsg with another reason, that reason as its code) and CFatalAcqException
    // (select failed or reported nothing watched).
    std::uint32_t WaitForEvent(std::uint8_t flags, std::int16_t timeoutMs,
                               std::uint8_t abortable) const;

private:
    CMailBox<AbortMsg>& abortMailbox;
    CMailBox<PipeMsg>& messageMailbox;
    CDspIntr& dspInterrupt;
};

// Subscriber of current_probe/nmr_path_broken (user data unused): on a value change to true
// sends AbortMsg {50, none} to the abort pipe and returns without waiting. The acquisition
// thread fails with error 50 at its next abortable wait.
void NMRPathIsBroken(CParameterNode* node, int event, void* user);

// Subscriber of measure_parms/search/mode, ref_clock/external_detected and
// ref_clock/external_locked (user data unused): on a value change sets status row 40 when
// the search mode is "MANual" or an external reference is detected but not locked, and
// clears it otherwise.
void KorvexUpdateRefClockStatus(CParameterNode* node, int event, void* user);

}  // namespace Korvex
