#include "engine/session/MessageExchange.h"

#include "engine/status/EngineStatus.h"

namespace Korvex {

namespace {
constexpr std::uint32_t kDeadlocked = ZODEVICE_STATUS_DEADLOCKED;
constexpr std::uint32_t kDeviceClearActive = ZODEVICE_STATUS_DEVICE_CLEAR_ACTIVE;
constexpr std::uint32_t kEndNotReceived = ZODEVICE_STATUS_END_MSG_NOT_RECEIVED;
constexpr std::uint32_t kQueryNotDetected = ZODEVICE_STATUS_QUERY_NOT_DETECTED;
constexpr std::uint32_t kNotUnterminated = ZODEVICE_STATUS_MSG_NOT_UNTERMINATED;
constexpr std::uint32_t kRelaxedAlreadyEnabled = ZODEVICE_STATUS_RELAXED_MODE_ALREADY_ENABLED;
constexpr std::uint32_t kRelaxedAlreadyDisabled = ZODEVICE_STATUS_RELAXED_MODE_ALREADY_DISABLED;
} // namespace

bool CMessageExchange::Record::operator==(const Record& o) const
{
    return state == o.state && messageAvailable == o.messageAvailable &&
           messagePending == o.messagePending && readRequested == o.readRequested &&
           endMessageActive == o.endMessageActive && endPending == o.endPending &&
           responseRequested == o.responseRequested && queryDetected == o.queryDetected &&
           responseQueued == o.responseQueued && responseSent == o.responseSent &&
           deviceClearActive == o.deviceClearActive && triggerActive == o.triggerActive &&
           triggerPosted == o.triggerPosted && pendingTriggers == o.pendingTriggers &&
           interrupted == o.interrupted && unterminated == o.unterminated &&
           unterminatedReported == o.unterminatedReported && relaxed == o.relaxed &&
           inputProcessed == o.inputProcessed && queryFlag == o.queryFlag &&
           readFlag == o.readFlag && bufferFull == o.bufferFull;
}

const CMessageExchange::StepFunction CMessageExchange::s_steps[7] = {
    &CMessageExchange::StepIdle,     &CMessageExchange::StepRead,
    &CMessageExchange::StepQuery,    &CMessageExchange::StepSend,
    &CMessageExchange::StepResponse, &CMessageExchange::StepDone,
    &CMessageExchange::StepDeadlock,
};

void CMessageExchange::Reset()
{
    const std::uint8_t relaxed = m_r.relaxed;
    m_r = Record();
    m_r.relaxed = relaxed;
}

void CMessageExchange::ResetForDeviceClear()
{
    Reset();
    m_r.deviceClearActive = 1;
}

void CMessageExchange::EnableRelaxedMode(std::uint32_t* status)
{
    if (*status != 0) {
        return;
    }
    if (m_r.relaxed) {
        *status = kRelaxedAlreadyEnabled;
        return;
    }
    m_r.relaxed = 1;
}

void CMessageExchange::DisableRelaxedMode(std::uint32_t* status)
{
    if (*status != 0) {
        return;
    }
    if (!m_r.relaxed) {
        *status = kRelaxedAlreadyDisabled;
        return;
    }
    m_r.relaxed = 0;
}

bool CMessageExchange::NothingToDo() const
{
    return !Busy() && m_r.pendingTriggers == 0 && !m_r.messagePending && !m_r.endPending;
}

void CMessageExchange::RaiseUnterminated()
{
    if (!m_r.unterminated) {
        m_r.unterminated = 1;
        m_r.unterminatedReported = 0;
    }
}

void CMessageExchange::Interrupt(bool withRequest)
{
    m_r.state = Read;
    m_r.responseQueued = 0;
    if (withRequest) {
        m_r.responseRequested = 0;
        m_r.queryDetected = 0;
    }
    m_r.interrupted = 1;
}

void CMessageExchange::RequestResponseUnlessQueued()
{
    if (!m_r.responseQueued && !m_r.queryDetected) {
        m_r.responseRequested = 1;
    }
}

void CMessageExchange::StartTrigger()
{
    m_r.triggerPosted = 0;
    m_r.triggerActive = 1;
}

void CMessageExchange::Step()
{
    const std::uint32_t index = m_r.state <= Deadlock ? m_r.state : 0;
    const StepFunction step = s_steps[index];
    (this->*step)();
}

void CMessageExchange::Run()
{
    Step();
    m_r.inputProcessed = 0;
    m_r.queryFlag = 0;
    m_r.readFlag = 0;
    m_r.bufferFull = 0;
    Tail();
}

void CMessageExchange::Tail()
{
    if (m_r.pendingTriggers == 0 && !m_r.messagePending && !m_r.endPending) {
        return;
    }
    if (Busy() || m_r.unterminated || m_r.deviceClearActive) {
        return;
    }
    if (m_r.messagePending) {
        m_r.messagePending = 0;
        m_r.messageAvailable = 1;
        Step();
    }
    if (m_r.endPending) {
        m_r.endPending = 0;
        m_r.endMessageActive = 1;
    } else if (m_r.pendingTriggers > 0) {
        --m_r.pendingTriggers;
        StartTrigger();
    }
    Step();
}

// ---- step functions ----

void CMessageExchange::StepIdle()
{
    if (m_r.messageAvailable || m_r.triggerActive) {
        m_r.state = Read;
    } else if (m_r.readRequested && !m_r.relaxed && !m_r.endMessageActive && NothingToDo()) {
        RaiseUnterminated();
    }
}

void CMessageExchange::StepRead()
{
    if (!m_r.readRequested) {
        if (m_r.inputProcessed) {
            m_r.state = Idle;
        } else if (m_r.queryFlag) {
            m_r.state = Query;
            m_r.responseSent = 0;
        }
        return;
    }
    if (m_r.relaxed && m_r.inputProcessed) {
        m_r.state = Idle;
        RequestResponseUnlessQueued();
        return;
    }
    if (NothingToDo()) {
        RaiseUnterminated();
    }
    if (!m_r.queryFlag) {
        return;
    }
    if (m_r.triggerActive && m_r.messageAvailable) {
        m_r.state = Query;
        m_r.responseSent = 0;
    } else if ((m_r.pendingTriggers > 0 || m_r.messagePending) && !m_r.unterminated) {
        m_r.responseQueued = 0;
        m_r.interrupted = 1;
        m_r.responseSent = 0;
    } else {
        m_r.state = Send;
        RequestResponseUnlessQueued();
        m_r.responseSent = 0;
    }
}

void CMessageExchange::StepQuery()
{
    const bool triggeredMessage = m_r.triggerActive && m_r.messageAvailable;
    if (m_r.inputProcessed) {
        if (m_r.pendingTriggers == 0 && !m_r.messagePending) {
            m_r.state = Response;
        } else {
            Interrupt(false);
        }
    } else if (m_r.readRequested && !triggeredMessage) {
        if (NothingToDo()) {
            RaiseUnterminated();
        }
        if ((m_r.pendingTriggers == 0 && !m_r.messagePending) || m_r.unterminated) {
            m_r.state = Send;
            RequestResponseUnlessQueued();
        } else {
            Interrupt(false);
        }
    } else if (m_r.bufferFull && !(m_r.triggerActive && !m_r.messageAvailable)) {
        m_r.state = Deadlock;
        m_r.responseRequested = 0;
        m_r.queryDetected = 0;
        m_r.responseQueued = 0;
    }
}

void CMessageExchange::StepSend()
{
    if (m_r.inputProcessed) {
        m_r.state = m_r.responseSent ? Done : Response;
    } else if (NothingToDo()) {
        RaiseUnterminated();
    } else if ((m_r.pendingTriggers > 0 || m_r.messagePending) && !m_r.unterminated) {
        Interrupt(true);
    }
}

void CMessageExchange::StepResponse()
{
    if (m_r.responseSent) {
        m_r.state = Done;
    } else if (m_r.readFlag && !m_r.responseQueued && !m_r.queryDetected) {
        m_r.responseRequested = 1;
    } else if (m_r.messageAvailable || m_r.triggerActive) {
        Interrupt(true);
    }
}

void CMessageExchange::StepDone()
{
    if (m_r.messageAvailable || m_r.triggerActive) {
        m_r.state = Read;
    }
}

void CMessageExchange::StepDeadlock()
{
    if (m_r.inputProcessed) {
        m_r.state = Done;
    }
}

// ---- handlers ----

void CMessageExchange::SendOutput(std::uint32_t* status)
{
    if (*status != 0) {
        return;
    }
    if (m_r.deviceClearActive) {
        *status = kDeviceClearActive;
        return;
    }
    if (m_r.state == Deadlock) {
        *status = kDeadlocked;
        return;
    }
    if (!m_r.relaxed && !m_r.queryDetected && m_r.state != Query && m_r.state != Send) {
        *status = kQueryNotDetected;
        return;
    }
    if (m_r.relaxed && (m_r.state == Done || (m_r.state == Idle && !m_r.unterminated))) {
        m_r.state = Response;
        m_r.endMessageActive = 0;
        m_r.messageAvailable = 0;
        m_r.readRequested = 0;
        m_r.responseSent = 0;
    } else {
        m_r.queryDetected = 0;
        m_r.responseRequested = 0;
        m_r.responseQueued = 1;
    }
    Run();
}

void CMessageExchange::QueryDetected(std::uint32_t* status)
{
    if (*status != 0) {
        return;
    }
    if (m_r.deviceClearActive) {
        *status = kDeviceClearActive;
        return;
    }
    if (m_r.state == Deadlock) {
        *status = kDeadlocked;
        return;
    }
    ResponseRequestedPosted(status);
    m_r.queryFlag = 1;
    Run();
}

void CMessageExchange::InputProcessed(std::uint32_t* status)
{
    if (*status != 0) {
        return;
    }
    m_r.endMessageActive = 0;
    m_r.messageAvailable = 0;
    m_r.triggerActive = 0;
    m_r.inputProcessed = 1;
    Run();
}

void CMessageExchange::ReportUnterminated(std::uint32_t* status)
{
    if (*status != 0) {
        return;
    }
    if (!m_r.unterminated) {
        *status = kNotUnterminated;
        return;
    }
    m_r.unterminated = 0;
    m_r.responseRequested = 0;
    m_r.queryDetected = 0;
    m_r.responseQueued = 0;
    m_r.messageAvailable = 0;
    m_r.state = Done;
    Run();
}

void CMessageExchange::TakePendingTrigger(std::uint32_t* status)
{
    if (*status != 0) {
        return;
    }
    if (m_r.pendingTriggers == 0) {
        *status = ZODEVICE_STATUS_MEP_ERROR;
        return;
    }
    --m_r.pendingTriggers;
    Run();
}

void CMessageExchange::EndMessageDone(std::uint32_t* status)
{
    if (*status != 0) {
        return;
    }
    if (!m_r.endMessageActive) {
        *status = kEndNotReceived;
        return;
    }
    m_r.endMessageActive = 0;
    Run();
}

void CMessageExchange::ReportBufferFull(std::uint32_t* status)
{
    if (*status != 0) {
        return;
    }
    m_r.bufferFull = 1;
    Run();
}

void CMessageExchange::NewInput(std::uint32_t* status)
{
    if (*status != 0) {
        return;
    }
    m_r.readRequested = 0;
    if (!Busy()) {
        m_r.messageAvailable = 1;
    } else {
        m_r.messagePending = 1;
    }
    Run();
}

void CMessageExchange::EndReceived(std::uint32_t* status)
{
    if (*status != 0) {
        return;
    }
    if (!Busy()) {
        m_r.endMessageActive = 1;
    } else {
        m_r.endPending = 1;
    }
    Run();
}

void CMessageExchange::HostRead(std::uint32_t* status)
{
    if (*status != 0) {
        return;
    }
    if (m_r.relaxed && (m_r.state == Done || (m_r.state == Idle && !m_r.unterminated)) &&
        !m_r.responseQueued && !m_r.queryDetected) {
        m_r.responseRequested = 1;
    }
    m_r.readFlag = 1;
    m_r.readRequested = 1;
    Run();
}

void CMessageExchange::ResponseSent(std::uint32_t* status)
{
    if (*status != 0) {
        return;
    }
    m_r.responseQueued = 0;
    m_r.responseSent = 1;
    Run();
}

void CMessageExchange::Trigger(std::uint32_t* status)
{
    if (*status != 0) {
        return;
    }
    m_r.readRequested = 0;
    if (!Busy() && !m_r.unterminated && !m_r.deviceClearActive) {
        StartTrigger();
    } else {
        ++m_r.pendingTriggers;
    }
    Run();
}

void CMessageExchange::UnterminatedPosted(std::uint32_t* status)
{
    if (*status != 0) {
        return;
    }
    m_r.unterminatedReported = 1;
    Run();
}

void CMessageExchange::InterruptedPosted(std::uint32_t* status)
{
    if (*status != 0) {
        return;
    }
    m_r.interrupted = 0;
    Run();
}

void CMessageExchange::ResponseRequestedPosted(std::uint32_t* status)
{
    if (*status != 0) {
        return;
    }
    m_r.queryDetected = 1;
    m_r.responseRequested = 0;
    Run();
}

void CMessageExchange::TriggerPosted(std::uint32_t* status)
{
    if (*status != 0) {
        return;
    }
    m_r.triggerPosted = 1;
    Run();
}

void CMessageExchange::TriggerFinished(std::uint32_t* status)
{
    if (*status != 0) {
        return;
    }
    m_r.triggerActive = 0;
    Run();
}

void CMessageExchange::DeviceClearFinished(std::uint32_t* status)
{
    if (*status != 0) {
        return;
    }
    m_r.deviceClearActive = 0;
    Run();
}

} // namespace Korvex
