#include "Host/acquisition/CKorvexHostAcquisition.h"

#include <array>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <exception>
#include <string>
#include <thread>
#include <vector>

#include "Host/acquisition/AcqBufferPool.h"
#include "Host/acquisition/AcqExceptions.h"
#include "Host/acquisition/AcqNodeValues.h"
#include "Host/acquisition/AcquisitionSeam.h"
#include "Host/acquisition/AcquisitionStatusBits.h"
#include "Host/acquisition/CKorvexDSP.h"
#include "Host/acquisition/CKorvexDSPLoader.h"
#include "Host/acquisition/IntermediateResults.h"
#include "Host/main/KorvexPower.h"
#include "Host/parameters/Bindings.h"
#include "Host/parameters/Error.h"
#include "Host/parameters/Logger.h"
#include "Host/parameters/ParameterNode.h"
#include "Host/parameters/RecursiveMutex.h"
#include "Host/scpi/status/KorvexScpiStatus.h"
#include "Host/scpi/units/MeasurementUnits.h"

namespace Korvex {

namespace {

namespace dsp = CKorvexDSP;

constexpr unsigned UnforeseenLine = 796;
constexpr unsigned TriggerOutUnforeseenLine = 597;
constexpr unsigned ConfigureExtRefUnforeseenLine = 641;
constexpr unsigned RetrieveUnforeseenLine = 713;
constexpr int StopWaitSeconds = 5;
constexpr std::int16_t SystemReadyTimeoutMs = 1000;
constexpr std::int16_t StartupReplyTimeoutMs = 500;
constexpr std::int16_t ParserReplyTimeoutMs = 500;
constexpr std::int16_t AbortReplyTimeoutMs = 1000;

constexpr std::uint16_t AcceptedDspMajor = 2, AcceptedDspMinor = 5;
constexpr std::uint16_t AcceptedCpldMajor = 1, AcceptedCpldMinor = 8;

// Status rows.
constexpr std::uint32_t RowExtRefDetected = 44;
constexpr std::uint32_t RowExtRefLocked = 45;
constexpr std::uint32_t RowStatusBit19 = 46;
constexpr std::uint32_t RowStatusBit20or21 = 65;
constexpr std::uint32_t RowAcqError = 38;  // QUEStionable 0x200

std::atomic<CKorvexHostAcquisition*> runningController{nullptr};

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
    CParameterNode::SetStringAttribute(node, eAttrValue, text);
}

void LogUnforeseen(unsigned line)
{
    Logger().Printf("%s", ("Unforeseen exception at: " + AcqLocation(line) + "\n").c_str());
}

// The nodes ResetModesToDefaults sets back, in order.
std::array<CParameterNode*, 12> ModeNodes()
{
    return {g_pSearchMode,           g_pMeasurementMode,        g_pSignalAveragingActive,
            g_pMeasurementAveragingActive, g_pProbeMatchingTuningMode, g_pPulseMode,
            g_pSampleMode,           g_pTriggerOutState,        g_pTriggerInSource,
            g_pTriggerInCount,       g_pTriggerInContinuous,    g_pRefClockMode};
}

}  // namespace

// Forwards the parser's and the host objects' calls to one controller.
class CControllerSeam : public CAcquisitionSeam {
public:
    explicit CControllerSeam(CKorvexHostAcquisition& controller) : acq(controller) {}

    bool TriggerActive() override { return acq.IsTriggerActive(); }
    bool WaitForTriggerIdle(std::chrono::milliseconds limit) override
    {
        return acq.WaitForTriggerIdle(std::chrono::steady_clock::now() + limit);
    }
    bool SystemUp() override { return acq.IsSystemUp(); }
    int SendBusTrigger() override { return acq.SendBusTrigger(); }
    int RetrieveIntermediateResults() override { return acq.RetrieveIntermediateResults(); }
    int InitiateTrigger(CKorvexScpiStatus* initiator, std::vector<CKorvexChannel>& channels,
                        double expectedValue) override
    {
        return acq.InitiateTrigger(initiator, channels, expectedValue);
    }
    int Reset() override { return acq.Reset(); }
    void ResetModesToDefaults() override { acq.ResetModesToDefaults(); }
    int AbortTrigger(int stopContinuous) override { return acq.AbortTrigger(stopContinuous); }
    int TriggerOut(int flag) override { return acq.TriggerOut(static_cast<std::uint8_t>(flag)); }
    int ConfigureExtRef(const std::string& mode) override { return acq.ConfigureExtRef(mode); }
    int Clear() override { return acq.Clear(); }
    void ForgetInitiator(CKorvexScpiStatus* block) override { acq.ForgetInitiator(block); }

private:
    CKorvexHostAcquisition& acq;
};

CKorvexHostAcquisition::CKorvexHostAcquisition()
    : CThread(ThreadPriority, "Host Acquisition Thread", ThreadStackSize),
      abortMailbox(AcqAbortPipePath),
      messageMailbox(AcqMessagePipePath),
      events(abortMailbox, messageMailbox, dspInterrupt),
      seam(new CControllerSeam(*this))
{
    kernel::semaphore_init(&DspStartedSemaphore, 0);
    kernel::semaphore_init(&AcqStartedSemaphore, 0);
}

CKorvexHostAcquisition::~CKorvexHostAcquisition()
{
    if (&CAcquisitionSeam::Instance() == seam.get()) CAcquisitionSeam::Install(nullptr);
    CKorvexHostAcquisition* self = this;
    runningController.compare_exchange_strong(self, nullptr);

    // The thread goes before the members it waits on. The abort ends whatever wait the
    // running flow is in.
    stopping.store(true);
    abortMailbox.Write(AbortMsg{});
    const std::chrono::steady_clock::time_point limit =
        std::chrono::steady_clock::now() + std::chrono::seconds(StopWaitSeconds);
    while (kernel::thread_info(GetHandle()).exists && !kernel::thread_info(GetHandle()).exited &&
           kernel::thread_info(GetHandle()).suspend_count == 0 &&
           std::chrono::steady_clock::now() < limit) {
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    kernel::thread_delete(GetHandle());
    ClearTriggerActive();  // a reader waiting for the end of a measurement stops waiting
    abortMailbox.Drain();
    messageMailbox.Drain();
    kernel::semaphore_destroy(&AcqStartedSemaphore);
    kernel::semaphore_destroy(&DspStartedSemaphore);
}

CKorvexHostAcquisition& CKorvexHostAcquisition::Instance()
{
    static CKorvexHostAcquisition* controller = new CKorvexHostAcquisition;
    return *controller;
}

CKorvexHostAcquisition* CKorvexHostAcquisition::Running() { return runningController.load(); }

void CKorvexHostAcquisition::Start()
{
    runningController.store(this);
    CAcquisitionSeam::Install(seam.get());
    CThread::Start();
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
    // A device clear changes no setting: a measurement under way keeps what it has measured.
    AcqBufferPool().ResetKeepingFilling();
    return 0;
}

void CKorvexHostAcquisition::SetInitiator(CKorvexScpiStatus* status)
{
    std::lock_guard<std::mutex> hold(initiatorMutex);
    InitiatorStatus = status;
}

void CKorvexHostAcquisition::ForgetInitiator(CKorvexScpiStatus* block)
{
    std::lock_guard<std::mutex> hold(initiatorMutex);
    if (InitiatorStatus == block) InitiatorStatus = nullptr;
}

void CKorvexHostAcquisition::PostErrorToInitiator(std::int32_t error)
{
    // Held across the post, so that the block cannot go meanwhile (ForgetInitiator waits).
    std::lock_guard<std::mutex> hold(initiatorMutex);
    if (InitiatorStatus != nullptr) CKorvexScpiStatus::PostError(InitiatorStatus, ErrorRowOf(error), 0);
}

void CKorvexHostAcquisition::ClearTriggerActive()
{
    {
        std::lock_guard<std::mutex> hold(triggerIdleMutex);
        TriggerActive.store(0);
    }
    triggerIdle.notify_all();
    // A reader waiting for the measurement's buffer: a flow that ends without one fills none.
    AcqBufferPool().WakeReader();
}

bool CKorvexHostAcquisition::WaitForTriggerIdle(std::chrono::steady_clock::time_point deadline)
{
    std::unique_lock<std::mutex> hold(triggerIdleMutex);
    return triggerIdle.wait_until(hold, deadline, [this] { return TriggerActive.load() == 0; });
}

void CKorvexHostAcquisition::GetSearchProgress(std::uint8_t& progress, float& frequency)
{
    std::lock_guard<std::mutex> hold(SearchProgress.mutex);
    progress = SearchProgress.progress;
    frequency = SearchProgress.frequency;
}

// ---- thread body and system flow --------------------------------------------------------

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
            CKorvexPower::RequestShutdown(CKorvexPower::eRestartSaving);
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
            if (elapsed < minimum && !stopping.load()) kernel::thread_delay(minimum - elapsed);
        }
    } catch (...) {
        const std::string text = "Unforeseen exception at: " + AcqLocation(UnforeseenLine) + "\n";
        Logger().Printf("CKorvexHostAcquisition::ThreadMain: %s =>Leaving Acquisition...\n", text.c_str());
        CKorvexPower::RequestShutdown(CKorvexPower::eRestartSaving);
    }
}

void CKorvexHostAcquisition::ResetAfterFailedPass()
{
    dsp::ReleaseDSP();
    ClearTriggerActive();
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
    ClearTriggerActive();
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

// ---- control operations (caller's thread) -----------------------------------------------

int CKorvexHostAcquisition::InitiateTrigger(CKorvexScpiStatus* initiator,
                                            std::vector<CKorvexChannel>& channels,
                                            double expectedValue)
{
    Logger().Printf("CKorvexHostAcquisition::InitiateTrigger()\n");
    if (SystemUp.load() == 0) return eAcquisitionNotUp;
    SetInitiator(initiator);
    if (TriggerActive.load() != 0) {
        Logger().Printf("CKorvexHostAcquisition::Error:Trigger already activated.\n");
        return eAlreadyInitiated;
    }
    if (AcqReadBool(g_pNmrPathBroken)) {
        Logger().Printf("CKorvexHostAcquisition::Error:NMR path is broken.\n");
        throw eNmrPathBroken;
    }
    if (channels.empty()) {
        Logger().Printf("CKorvexHostAcquisition::Error:no probe selected.\n");
        throw eNoProbeSelected;
    }
    AcqBufferPool().Reset();
    IntermediateResults().ClearReady();
    SetSearchProgress(0, -1.0f);
    CKorvexScpiStatus::SetInstrumentStatusBit(RowAcqError, 0, 0);
    KorvexSetAcquisitionStatusBits(0);

    std::lock_guard<std::mutex> sender(initiateMutex);
    {
        std::lock_guard<std::mutex> hold(selection.mutex);
        selection.channels = channels;
    }
    LastAcqError.store(0);

    // "None" (0.0) stays 0.0: converted it would become a bogus expected value.
    double expected = expectedValue;
    if (expected != 0.0) {
        const int unit = KorvexParseUnits(AcqReadString(g_pUnitsSelected));
        if (KorvexConvertUnits(expected, static_cast<std::uint32_t>(unit), eUnitHZ, 0.0) != 0) {
            return eAlreadyInitiated;
        }
    }
    {
        std::lock_guard<std::mutex> hold(selection.mutex);
        selection.expected = expected;
    }

    initiateCompletion.Reset();
    // Set before the message goes: an immediate measurement can end (and clear the flag)
    // before this thread runs again.
    TriggerActive.store(1);
    PipeMsg message;
    message.command = PipeMsg::Initiate;
    message.completion = initiateCompletion.Token();
    if (!messageMailbox.Write(message)) {
        ClearTriggerActive();
        return eGeneralFailure;
    }
    initiateCompletion.Wait();
    return 0;
}

int CKorvexHostAcquisition::Reset()
{
    Logger().Printf("CKorvexHostAcquisition::Reset()\n");
    if (SystemUp.load() == 0) return eAcquisitionNotUp;
    AbortTrigger(1);
    ResetModesToDefaults();
    AcqBufferPool().Reset();
    IntermediateResults().ClearReady();
    LastAcqError.store(0);
    return 0;
}

void CKorvexHostAcquisition::ResetModesToDefaults()
{
    for (CParameterNode* node : ModeNodes()) {
        if (node == nullptr) continue;
        switch (node->GetType()) {
        case eNodeString:
            CParameterNode::SetStringAttribute(node, eAttrValue,
                                               CParameterNode::GetStringAttribute(node, eAttrDefault));
            break;
        case eNodeBoolean:
            CParameterNode::SetValue(node, CParameterNode::GetBooleanAttribute(node, eAttrDefault));
            break;
        case eNodeInt32:
            CParameterNode::SetValue(node, CParameterNode::GetInt32Attribute(node, eAttrDefault));
            break;
        case eNodeFloat64:
            CParameterNode::SetValue(node, CParameterNode::GetFloat64Attribute(node, eAttrDefault));
            break;
        default:
            break;
        }
    }
}

bool CKorvexHostAcquisition::WaitForDspReply(std::int16_t timeoutMs)
{
    return events.WaitForEvent(CEventRegister::EventDsp, timeoutMs, 0) == CEventRegister::ResultDsp;
}

void CKorvexHostAcquisition::TakeDspForExchange()
{
    dsp::AcquireDSP();
    // An interrupt left from an exchange that timed out would end the next wait at once.
    while (events.WaitForEvent(CEventRegister::EventDsp, 0, 0) == CEventRegister::ResultDsp) {
    }
}

void CKorvexHostAcquisition::AbortPendingExchange()
{
    TakeDspForExchange();
    if (dsp::SendMessage(dsp::ABORT) != 0) return;
    std::uint32_t status = 0;
    if (WaitForDspReply(AbortReplyTimeoutMs)) dsp::ReceiveMessage(dsp::ABORT_ACK, status);
}

int CKorvexHostAcquisition::ConfigureExtRef(const std::string& mode)
{
    Logger().Printf("CKorvexHostAcquisition::ConfigureExtRef()\n");
    if (SystemUp.load() == 0) return eAcquisitionNotUp;
    if (TriggerActive.load() != 0) return eWrongTriggerState;
    try {
        CParameterNode::SetStringAttribute(g_pRefClockMode, eAttrValue, mode);
        TakeDspForExchange();
        if (dsp::SendMessage(dsp::EXTERNAL_REFERENCE) != 0) throw eDspExchangeFailed;
        if (!WaitForDspReply(ParserReplyTimeoutMs)) {
            AbortPendingExchange();
            throw eDspExchangeFailed;
        }
        std::uint32_t status = 0;
        if (dsp::ReceiveMessage(dsp::EXTERNAL_REFERENCE_ACK, status) != 0) throw eDspExchangeFailed;
        KorvexUpdateAcqStatusBits(status);
        dsp::ReleaseDSP();
        return 0;
    } catch (eError error) {
        dsp::ReleaseDSP();
        return error;
    } catch (...) {
        LogUnforeseen(ConfigureExtRefUnforeseenLine);
        dsp::ReleaseDSP();
        return eGeneralFailure;
    }
}

int CKorvexHostAcquisition::RetrieveIntermediateResults()
{
    Logger().Printf("CKorvexHostAcquisition::RetrieveIntermediateResults()\n");
    if (SystemUp.load() == 0) return eAcquisitionNotUp;
    CIntermediateResults& store = IntermediateResults();
    // One request/reply exchange on this thread; a reply that does not come in time is a
    // failure (38), and the link is brought back to ready first.
    auto exchange = [this](std::uint32_t id, std::uint32_t replyId) {
        TakeDspForExchange();
        const std::uint32_t sent = dsp::SendMessage(id);
        if (sent != 0) throw CAcqError(static_cast<std::int32_t>(sent));
        if (!WaitForDspReply(ParserReplyTimeoutMs)) {
            AbortPendingExchange();
            throw CAcqError(eDspExchangeFailed);
        }
        std::uint32_t status = 0;
        const std::uint32_t received = dsp::ReceiveMessage(replyId, status);
        if (received != 0) throw CAcqError(static_cast<std::int32_t>(received));
        KorvexUpdateAcqStatusBits(status);
    };
    try {
        exchange(dsp::REQUEST_SIGNAL, dsp::RETURN_SIGNAL);

        store.Lock();
        dsp::DSPSignalArray arrays[4] = {{store.nmrSignal, store.nmrSignalCapacity},
                                         {store.fftBuffer, store.fftBufferCapacity},
                                         {store.peakSpectrum, store.peakSpectrumCapacity},
                                         {store.fitCoefficients, store.fitCoefficientsCapacity}};
        dsp::DSPSignalScalars scalars{};
        dsp::GetSignalReply(arrays, scalars);
        store.nmrSignalLength = arrays[0].count;
        store.fftBufferLength = arrays[1].count;
        store.peakSpectrumLength = arrays[2].count;
        store.fitCoefficientsCount = arrays[3].count;
        store.samplePeriod = scalars.samplePeriod;
        store.fftResolution = scalars.fftResolution;
        store.fftNoiseFloor = scalars.fftNoiseFloor;
        store.spectrumResolution = scalars.spectrumResolution;
        store.spectrumCenterFrequency = scalars.spectrumCenterFrequency;
        store.fitResidue = scalars.fitResidue;
        store.ifFrequency = scalars.ifFrequency;
        store.rfFrequency = scalars.rfFrequency;
        std::memcpy(&store.relaxationTime, &scalars.relaxationTime, sizeof store.relaxationTime);

        AcqStoreIfChanged(g_pNmrSignalLength, static_cast<std::int32_t>(store.nmrSignalLength));
        AcqStoreIfChanged(g_pNmrSignalSamplePeriod, static_cast<double>(store.samplePeriod));
        AcqStoreIfChanged(g_pFftBufferLength, static_cast<std::int32_t>(store.fftBufferLength));
        AcqStoreIfChanged(g_pFftBufferResolution, static_cast<double>(store.fftResolution));
        AcqStoreIfChanged(g_pFftBufferNoiseFloor, static_cast<double>(store.fftNoiseFloor));
        AcqStoreIfChanged(g_pPeakSpectrumLength, static_cast<std::int32_t>(store.peakSpectrumLength));
        AcqStoreIfChanged(g_pPeakSpectrumResolution, static_cast<double>(store.spectrumResolution));
        AcqStoreIfChanged(g_pPeakSpectrumCenterFrequency, static_cast<double>(store.spectrumCenterFrequency));
        AcqStoreIfChanged(g_pFitCoeffsLength, static_cast<std::int32_t>(store.fitCoefficientsCount));
        AcqStoreIfChanged(g_pFitCoeffsResidue, static_cast<double>(store.fitResidue));
        AcqStoreIfChanged(g_pIfFrequency, store.ifFrequency);
        AcqStoreIfChanged(g_pRelaxationTime, static_cast<double>(store.relaxationTime));
        AcqStoreIfChanged(g_pRfFrequency, store.rfFrequency);
        store.SetReady();
        store.Unlock();

        exchange(dsp::RELEASE_SIGNAL, dsp::RELEASE_SIGNAL_ACK);
        dsp::ReleaseDSP();
        return 0;
    } catch (const CAcqError& e) {
        dsp::ReleaseDSP();
        return e.Error();
    } catch (...) {
        LogUnforeseen(RetrieveUnforeseenLine);
        dsp::ReleaseDSP();
        return eGeneralFailure;
    }
}

int CKorvexHostAcquisition::AbortTrigger(int stopContinuous)
{
    Logger().Printf("CKorvexHostAcquisition::AbortTrigger()\n");
    if (SystemUp.load() == 0) return eAcquisitionNotUp;
    if (stopContinuous != 0 && AcqReadBool(g_pTriggerInContinuous)) {
        CParameterNode::SetValue(g_pTriggerInContinuous, false);
    }
    std::lock_guard<std::mutex> sender(abortMutex);
    abortCompletion.Reset();
    AbortMsg message;
    message.reason = AbortMsg::AbortRequest;
    message.completion = abortCompletion.Token();
    if (!abortMailbox.Write(message)) return eGeneralFailure;
    abortCompletion.Wait();
    return 0;
}

int CKorvexHostAcquisition::TriggerOut(std::uint8_t flag)
{
    Logger().Printf("CKorvexHostAcquisition::TriggerOut()\n");
    if (SystemUp.load() == 0) return eAcquisitionNotUp;
    if (TriggerActive.load() != 0) return eWrongTriggerState;
    try {
        TakeDspForExchange();
        dsp::SetTriggerOutFlag(flag);
        if (dsp::SendMessage(dsp::TRIGGER_OUT) != 0) {
            dsp::ReleaseDSP();
            return eDspExchangeFailed;
        }
        if (!WaitForDspReply(ParserReplyTimeoutMs)) {
            AbortPendingExchange();
            dsp::ReleaseDSP();
            return eDspExchangeFailed;
        }
        std::uint32_t status = 0;
        if (dsp::ReceiveMessage(dsp::RETURN_TRIGGER_OUT, status) != 0) {
            dsp::ReleaseDSP();
            return eDspExchangeFailed;
        }
        KorvexUpdateAcqStatusBits(status);
        std::uint8_t hasValue = 0;
        dsp::ReplyHasValue(hasValue);
        dsp::ReleaseDSP();
        return (hasValue != 0) != AcqReadBool(g_pTriggerOutState) ? eWrongTriggerState : 0;
    } catch (...) {
        LogUnforeseen(TriggerOutUnforeseenLine);
        dsp::ReleaseDSP();
        return eGeneralFailure;
    }
}

int CKorvexHostAcquisition::SendBusTrigger()
{
    Logger().Printf("CKorvexHostAcquisition::SendBusTrigger()\n");
    if (SystemUp.load() == 0) return eAcquisitionNotUp;
    if (TriggerActive.load() == 0) return eWrongTriggerState;
    if (AcqReadString(g_pTriggerInSource) != "BUS") return eWrongTriggerState;
    PipeMsg message;
    message.command = PipeMsg::BusTrigger;
    messageMailbox.Write(message);
    return 0;
}

void CKorvexHostAcquisition::KorvexUpdateAcqStatusBits(std::uint32_t status)
{
    const bool detected = (status & 0x1u) != 0;
    const bool locked = detected && (status & 0x2u) != 0;
    CKorvexScpiStatus::SetInstrumentStatusBit(RowExtRefDetected, detected ? 1 : 0, 1);
    CKorvexScpiStatus::SetInstrumentStatusBit(RowExtRefLocked, locked ? 1 : 0, 1);
    CKorvexScpiStatus::SetInstrumentStatusBit(RowStatusBit19, (status & 0x80000u) != 0 ? 1 : 0, 1);
    CKorvexScpiStatus::SetInstrumentStatusBit(RowStatusBit20or21, (status & 0x300000u) != 0 ? 1 : 0, 0);
    AcqStoreIfChanged(g_pExternalClockDetected, detected);
    AcqStoreIfChanged(g_pExternalClockLocked, locked);
}

}  // namespace Korvex
