#include "Host/acquisition/CKorvexHostAcquisition.h"

#include <chrono>
#include <cstdio>
#include <exception>
#include <string>
#include <thread>
#include <vector>

#include "Host/acquisition/AcqBufferPool.h"
#include "Host/acquisition/AcqExceptions.h"
#include "Host/acquisition/AcquisitionSeam.h"
#include "Host/acquisition/AcquisitionStatusBits.h"
#include "Host/acquisition/CKorvexDSP.h"
#include "Host/acquisition/CKorvexDSPLoader.h"
#include "Host/acquisition/IntermediateResults.h"
#include "Host/parameters/Bindings.h"
#include "Host/parameters/Error.h"
#include "Host/parameters/Logger.h"
#include "Host/parameters/ParameterNode.h"
#include "Host/parameters/PowerHooks.h"
#include "Host/parameters/RecursiveMutex.h"
#include "Host/scpi/status/KorvexScpiStatus.h"

namespace Korvex {

namespace {

namespace dsp = CKorvexDSP;

constexpr unsigned UnforeseenLine = 796;
constexpr int StopWaitSeconds = 5;
constexpr std::int16_t SystemReadyTimeoutMs = 1000;
constexpr std::int16_t StartupReplyTimeoutMs = 500;
constexpr std::int16_t IdleWaitMs = 200;
constexpr unsigned SendAndReceiveSendLine = 297;
constexpr unsigned SendAndReceiveWaitLine = 299;
constexpr unsigned SendAndReceiveReceiveLine = 302;
constexpr unsigned SendAndReceiveUnforeseenLine = 313;

constexpr std::uint16_t AcceptedDspMajor = 2, AcceptedDspMinor = 5;
constexpr std::uint16_t AcceptedCpldMajor = 1, AcceptedCpldMinor = 8;

// Status rows.
constexpr std::uint32_t RowExtRefDetected = 44;
constexpr std::uint32_t RowExtRefLocked = 45;
constexpr std::uint32_t RowStatusBit19 = 46;
constexpr std::uint32_t RowStatusBit20or21 = 65;
constexpr std::uint32_t RowAcqError = 38;  // QUEStionable 0x200

// Error-table rows by acquisition error.
std::uint32_t ErrorRowOf(std::int32_t error)
{
    switch (error) {
    case 29: return 130;  // 203 "Invalid Channel List"
    case 30: return 128;  // 201 "No probe"
    case 46: return 129;  // 202 "No selected channel"
    case 49:
    case 51: return 52;   // -221 "Settings conflict"
    case 50: return 132;  // 205 "Topology Changed"
    case 38: return 112;  // -365 "Time out error"
    default: return 127;  // 200 "Firmware error"
    }
}

// Absolute deadline of a timed start wait: (ms * 1000) / 10000 ticks from now.
kernel::tick_t StartWaitDeadline(std::uint16_t timeoutMs)
{
    return kernel::current_time() + (static_cast<std::uint32_t>(timeoutMs) * 1000u) / 10000u;
}

std::string VersionText(std::uint16_t major, std::uint16_t minor)
{
    char text[16];
    std::snprintf(text, sizeof text, "%d.%d", static_cast<int>(major), static_cast<int>(minor));
    return text;
}

void SetVersionNode(CParameterNode* node, const std::string& text)
{
    if (node == nullptr) return;
    CRecursiveLock lock(ParameterTreeLock());
    CParameterNode::SetStringAttribute(node, 0, text);
}

// Stores a Boolean value only when it differs from the node's (subscribers notified).
void StoreIfChanged(CParameterNode* node, bool value)
{
    if (node == nullptr) return;
    bool current = false;
    {
        CRecursiveLock lock(ParameterTreeLock());
        current = CParameterNode::GetBooleanAttribute(node, 0);
    }
    if (current != value) CParameterNode::SetValue(node, value);
}

}  // namespace

CKorvexHostAcquisition::CKorvexHostAcquisition()
    : CThread(ThreadPriority, "Host Acquisition Thread", ThreadStackSize),
      abortMailbox(AcqAbortPipePath),
      messageMailbox(AcqMessagePipePath),
      events(abortMailbox, messageMailbox, dspInterrupt)
{
    kernel::semaphore_init(&DspStartedSemaphore, 0);
    kernel::semaphore_init(&AcqStartedSemaphore, 0);
}

CKorvexHostAcquisition::~CKorvexHostAcquisition()
{
    // The thread goes before the members it waits on.
    stopping.store(true);
    const std::chrono::steady_clock::time_point limit =
        std::chrono::steady_clock::now() + std::chrono::seconds(StopWaitSeconds);
    while (kernel::thread_info(GetHandle()).exists && !kernel::thread_info(GetHandle()).exited &&
           kernel::thread_info(GetHandle()).suspend_count == 0 &&
           std::chrono::steady_clock::now() < limit) {
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    kernel::thread_delete(GetHandle());
    kernel::semaphore_destroy(&AcqStartedSemaphore);
    kernel::semaphore_destroy(&DspStartedSemaphore);
}

std::uint8_t CKorvexHostAcquisition::WaitForDspStarted(std::uint16_t timeoutMs,
                                                       std::uint8_t& versionAccepted,
                                                       std::uint8_t& started)
{
    if (dspStartedSeen.load() == 0) {
        if (!kernel::semaphore_timed_wait(&DspStartedSemaphore, StartWaitDeadline(timeoutMs))) {
            return 0;
        }
        Logger().Printf("WaitForDspStarted: Started!\n");
        dspStartedSeen.store(1);
    }
    versionAccepted = DspVersionAccepted.load();
    started = SystemStarted.load();
    return 1;
}

std::uint8_t CKorvexHostAcquisition::WaitForAcqStarted(std::uint16_t timeoutMs)
{
    if (acqStartedSeen.load() != 0) return 1;
    if (!kernel::semaphore_timed_wait(&AcqStartedSemaphore, StartWaitDeadline(timeoutMs))) {
        return 0;
    }
    Logger().Printf("WaitForAcqStarted: Started!\n");
    acqStartedSeen.store(1);
    return 1;
}

int CKorvexHostAcquisition::Clear()
{
    Logger().Printf("CKorvexHostAcquisition::Clear()\n");
    if (SystemUp.load() == 0) return eAcquisitionNotUp;
    AcqBufferPool().Reset();
    return 0;
}

void CKorvexHostAcquisition::SetInitiator(CKorvexScpiStatus* status)
{
    std::lock_guard<std::mutex> hold(initiatorMutex);
    InitiatorStatus = status;
}

void CKorvexHostAcquisition::PostErrorToInitiator(std::int32_t error)
{
    std::lock_guard<std::mutex> hold(initiatorMutex);
    if (InitiatorStatus != nullptr) CKorvexScpiStatus::PostError(InitiatorStatus, ErrorRowOf(error), 0);
}

void CKorvexHostAcquisition::ThreadMain()
{
    try {
        try {
            IntermediateResults().Allocate();
            std::int32_t resultCount = 0;
            {
                CRecursiveLock lock(ParameterTreeLock());
                resultCount = CParameterNode::GetInt32Attribute(g_pResultsSize, eAttrMaximum);
            }
            AcqBufferPool().AllocateBuffers(static_cast<std::uint32_t>(resultCount));

            if (abortMailbox.valid == 0) throw CFatalAcqException(AcqLocation(eFatalAbortMailboxNotOpen));
            if (messageMailbox.valid == 0) throw CFatalAcqException(AcqLocation(eFatalMessageMailboxNotOpen));
            if (dspInterrupt.valid == 0) throw CFatalAcqException(AcqLocation(eFatalDspIntNotOpen));

            if (g_pNmrPathBroken != nullptr) CParameterNode::Subscribe(g_pNmrPathBroken, &NMRPathIsBroken, nullptr);
            for (CParameterNode* node : {g_pSearchMode, g_pExternalClockDetected, g_pExternalClockLocked}) {
                if (node != nullptr) CParameterNode::Subscribe(node, &KorvexUpdateRefClockStatus, nullptr);
            }
        } catch (const CFatalAcqException& e) {
            Logger().Printf("CKorvexHostAcquisition::ThreadMain: %s =>Fatal exception, Leaving Acquisition...\n",
                            e.what());
            KorvexRequestRestart();
            return;
        }

        // The thread is up: a DSP that never starts must not keep the main thread waiting.
        kernel::semaphore_post(&AcqStartedSemaphore);

        while (!stopping.load()) {
            const kernel::tick_t passStart = kernel::current_time();
            try {
                SystemFlow();
                return;
            } catch (const CFatalAcqException& e) {
                Logger().Printf(
                    "CKorvexHostAcquisition::ThreadMain: %s =>Fatal exception, Restarting Acquisition System...\n",
                    e.what());
            }
            ResetAfterFailedPass();
            const kernel::tick_t minimum = kernel::ms_to_ticks(MinimumPassMs);
            const kernel::tick_t elapsed = kernel::current_time() - passStart;
            if (elapsed < minimum) kernel::thread_delay(minimum - elapsed);
        }
    } catch (...) {
        const std::string text = "Unforeseen exception at: " + AcqLocation(UnforeseenLine) + "\n";
        Logger().Printf("CKorvexHostAcquisition::ThreadMain: %s =>Leaving Acquisition...\n", text.c_str());
        KorvexRequestRestart();
    }
}

void CKorvexHostAcquisition::ResetAfterFailedPass()
{
    dsp::ReleaseDSP();
    TriggerActive.store(0);
    TriggerState.store(0);
    AcqBufferPool().Reset();
    // Senders waiting on a message that no flow will take are released; an initiation that
    // is dropped is reported to its initiator.
    for (const PipeMsg& message : messageMailbox.Drain()) {
        if (message.command != PipeMsg::Initiate) continue;
        LastAcqError.store(eAcquisitionNotUp);
        PostErrorToInitiator(eAcquisitionNotUp);
    }
    abortMailbox.Drain();
    std::lock_guard<std::mutex> hold(HeartbeatWatch.mutex);
    HeartbeatWatch.firstLook = 1;  // the reloaded program counts anew
}

void CKorvexHostAcquisition::SystemFlow()
{
    Logger().Printf("CKorvexHostAcquisition::SystemFlow, Entering\n");
    SystemPhase.store(0);
    {
        std::lock_guard<std::mutex> hold(HeartbeatWatch.mutex);
        HeartbeatWatch.firstLook = 1;
    }
    try {
        std::uint32_t loaded = 1;
        try {
            loaded = dsp::LoadDSPCode();
        } catch (const std::exception&) {
            loaded = 1;  // a missing or bad image is a load failure like any other
        }
        if (loaded != 0) throw CFatalAcqException(AcqLocation(eFatalDspLoad));

        if (events.WaitForEvent(CEventRegister::EventDsp, SystemReadyTimeoutMs, 0) !=
            CEventRegister::ResultDsp) {
            throw CFatalAcqException(AcqLocation(eFatalNoDspInterrupt));
        }
        std::uint32_t status = 0;
        if (dsp::ReceiveMessage(dsp::SYSTEM_READY, status) != 0) {
            throw CFatalAcqException(AcqLocation(eFatalSystemReady));
        }
        KorvexUpdateAcqStatusBits(status);

        std::uint16_t dspMajor = 0, dspMinor = 0, cpldMajor = 0, cpldMinor = 0;
        dsp::GetReplyShorts(dspMajor, dspMinor, cpldMajor, cpldMinor);
        SetVersionNode(g_pVersionsDspFirmware, VersionText(dspMajor, dspMinor));
        if (dspMajor != AcceptedDspMajor || dspMinor != AcceptedDspMinor) {
            throw CFatalAcqException(AcqLocation(eFatalDspVersion));
        }
        DspVersionAccepted.store(1);
        SetVersionNode(g_pVersionsCpld, VersionText(cpldMajor, cpldMinor));
        if (cpldMajor != AcceptedCpldMajor || cpldMinor != AcceptedCpldMinor) {
            throw CFatalAcqException(AcqLocation(eFatalCpldVersion));
        }

        SystemUp.store(1);
        SystemPhase.store(1);
        SystemStarted.store(1);
        kernel::semaphore_post(&DspStartedSemaphore);

        SendAndReceive(dsp::PW_DEFAULT_CONFIGURATION, dsp::PW_DEFAULT_CONFIGURATION_ACK,
                       StartupReplyTimeoutMs);
        SendAndReceive(dsp::EXTERNAL_REFERENCE, dsp::EXTERNAL_REFERENCE_ACK, StartupReplyTimeoutMs);
        dsp::SetTriggerOutFlag(0);
        SendAndReceive(dsp::TRIGGER_OUT, dsp::RETURN_TRIGGER_OUT, StartupReplyTimeoutMs);

        SystemPhase.store(2);
        TriggerFlow();
        dsp::SendMessage(dsp::QUIT);
        dsp::ReleaseDSP();
    } catch (const CAcqException& e) {
        Logger().Printf("CKorvexHostAcquisition::SystemFlow:Acq exception: %s\n", e.what());
        if (e.IsError()) {
            Logger().Printf("Error %d\n", static_cast<int>(static_cast<const CAcqError&>(e).Error()));
        }
        if (e.IsAbort()) {
            // The abort was taken: complete it, whatever comes next.
            kernel::Semaphore* completion = static_cast<const CAbortException&>(e).Completion();
            if (completion != nullptr) kernel::semaphore_post(completion);
        }
        throw CFatalAcqException(AcqLocation(eFatalSystemFlow));
    }
}

// Placeholder until the trigger flows land: announces the start, then waits idle with the
// abort and heartbeat rules. Initiations are not run yet. Returns once the controller is
// being destroyed.
void CKorvexHostAcquisition::TriggerFlow()
{
    Logger().Printf("CKorvexHostAcquisition::TriggerFlow, Entering\n");
    TriggerState.store(0);
    TriggerActive.store(0);
    KorvexSetAcquisitionStatusBits(0);
    kernel::semaphore_post(&AcqStartedSemaphore);
    while (!stopping.load()) {
        try {
            const std::uint32_t result = events.WaitForEvent(CEventRegister::EventMessage, IdleWaitMs, 1);
            if (result == CEventRegister::ResultTimeout) {
                HeartbeatCheck(eFatalIdleHeartbeat);
            } else if (result == CEventRegister::ResultDsp) {
                throw CFatalAcqException(AcqLocation(eFatalIdleDspInterrupt));
            } else {
                PipeMsg message;
                if (TakePipeMsg(messageMailbox, message) && !DropStrayBusTrigger(message) &&
                    message.command != PipeMsg::Initiate) {
                    throw CAcqError(eGeneralFailure);
                }
            }
        } catch (const CAcqException& e) {
            Logger().Printf("CKorvexHostAcquisition::TriggerFlow: %s", e.what());
            if (e.IsError()) {
                const std::int32_t error = static_cast<const CAcqError&>(e).Error();
                CKorvexScpiStatus::SetInstrumentStatusBit(RowAcqError, 1, 0);
                LastAcqError.store(error);
                PostErrorToInitiator(error);
            }
            AcqBufferPool().Reset();
            if (e.IsAbort()) {
                kernel::Semaphore* completion = static_cast<const CAbortException&>(e).Completion();
                if (completion != nullptr) kernel::semaphore_post(completion);
            }
            TriggerState.store(0);
            TriggerActive.store(0);
            KorvexSetAcquisitionStatusBits(0);
        }
    }
}

void CKorvexHostAcquisition::SendAndReceive(std::uint32_t id, std::uint32_t replyId,
                                            std::int16_t timeoutMs)
{
    try {
        const std::uint32_t sent = dsp::SendMessage(id);
        if (sent != 0) {
            throw CAcqError(static_cast<std::int32_t>(sent), AcqLocation(SendAndReceiveSendLine));
        }
        if (events.WaitForEvent(CEventRegister::EventDsp, timeoutMs, 1) != CEventRegister::ResultDsp) {
            throw CAcqError(eDspExchangeFailed, AcqLocation(SendAndReceiveWaitLine));
        }
        std::uint32_t status = 0;
        const std::uint32_t received = dsp::ReceiveMessage(replyId, status);
        if (received != 0) {
            throw CAcqError(static_cast<std::int32_t>(received), AcqLocation(SendAndReceiveReceiveLine));
        }
        KorvexUpdateAcqStatusBits(status);
        dsp::ReleaseDSP();
    } catch (const CAcqException&) {
        dsp::ReleaseDSP();
        throw;
    } catch (const CFatalAcqException&) {
        dsp::ReleaseDSP();
        throw;
    } catch (...) {
        Logger().Printf("%s", ("Unforeseen exception at: " + AcqLocation(SendAndReceiveUnforeseenLine) + "\n").c_str());
        dsp::ReleaseDSP();
        throw CAcqError(eGeneralFailure);
    }
}

void CKorvexHostAcquisition::HeartbeatCheck(unsigned fatalLine)
{
    const dsp::DSPStatusBlock block = dsp::ReadStatusBlock();
    KorvexUpdateAcqStatusBits(block.word[2]);
    {
        std::lock_guard<std::mutex> hold(HeartbeatWatch.mutex);
        if (HeartbeatWatch.firstLook != 0) {
            HeartbeatWatch.firstLook = 0;
            HeartbeatWatch.lastCount = block.word[0];
            return;
        }
        if (block.word[0] != HeartbeatWatch.lastCount) {
            HeartbeatWatch.lastCount = block.word[0];
            return;
        }
    }
    Logger().Printf("Acquisition System heartbeat blocked!\n");
    throw CFatalAcqException(AcqLocation(fatalLine));
}

void CKorvexHostAcquisition::KorvexUpdateAcqStatusBits(std::uint32_t status)
{
    const bool detected = (status & 0x1u) != 0;
    const bool locked = detected && (status & 0x2u) != 0;
    CKorvexScpiStatus::SetInstrumentStatusBit(RowExtRefDetected, detected ? 1 : 0, 1);
    CKorvexScpiStatus::SetInstrumentStatusBit(RowExtRefLocked, locked ? 1 : 0, 1);
    CKorvexScpiStatus::SetInstrumentStatusBit(RowStatusBit19, (status & 0x80000u) != 0 ? 1 : 0, 1);
    CKorvexScpiStatus::SetInstrumentStatusBit(RowStatusBit20or21, (status & 0x300000u) != 0 ? 1 : 0, 0);
    StoreIfChanged(g_pExternalClockDetected, detected);
    StoreIfChanged(g_pExternalClockLocked, locked);
}

}  // namespace Korvex
