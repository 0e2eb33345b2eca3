// The trigger and acquisition flows of the acquisition thread: the idle wait for
// initiations, the acquisition set-up (tracking from an expected or remembered frequency),
// the measurement sequences with their trigger waits, the DSP exchanges with heartbeat
// supervision, and the handling of aborts and acquisition errors.
#include <cstring>
#include <string>

#include "Host/acquisition/AcqBufferPool.h"
#include "Host/acquisition/AcqExceptions.h"
#include "Host/acquisition/AcqNodeValues.h"
#include "Host/acquisition/AcquisitionSeam.h"
#include "Host/acquisition/AcquisitionStatusBits.h"
#include "Host/acquisition/CKorvexDSP.h"
#include "Host/acquisition/CKorvexHostAcquisition.h"
#include "Host/parameters/Bindings.h"
#include "Host/parameters/Error.h"
#include "Host/parameters/Logger.h"
#include "Host/peripherals/CKorvexPeripheral.h"
#include "Host/scpi/status/KorvexScpiStatus.h"
#include "Host/scpi/units/MeasurementUnits.h"

namespace Korvex {

namespace {

namespace dsp = CKorvexDSP;

constexpr std::int16_t IdleWaitMs = 200;
constexpr std::int16_t ReplyTimeoutMs = 500;
constexpr std::int16_t AbortReplyTimeoutMs = 1000;
constexpr std::int16_t MeasurementPollMs = 10;
constexpr unsigned PollsPerHeartbeatCheck = 5;
constexpr std::int32_t TimerSliceMs = 30000;
constexpr std::uint8_t NoSource = 4;  // a wait on the abort mailbox only

// The completion of an abort taken by one pass of the trigger flow, posted when the pass
// ends, normally or by an exception: the abort's sender is released exactly once, and only
// once the flow is idle (or armed again), so an INIT right behind ABOR finds the trigger no
// longer active.
struct CAbortCompletion {
    kernel::Semaphore* semaphore = nullptr;
    CAbortCompletion() = default;
    CAbortCompletion(const CAbortCompletion&) = delete;
    CAbortCompletion& operator=(const CAbortCompletion&) = delete;
    ~CAbortCompletion()
    {
        if (semaphore != nullptr) kernel::semaphore_post(semaphore);
    }
};

constexpr unsigned SendAndReceiveSendLine = 297;
constexpr unsigned SendAndReceiveWaitLine = 299;
constexpr unsigned SendAndReceiveReceiveLine = 302;
constexpr unsigned SendAndReceiveUnforeseenLine = 313;

constexpr std::uint32_t StatusMeasurementRunning = 0x20;

// Status rows.
constexpr std::uint32_t RowAcqError = 38;      // QUEStionable 0x200
constexpr std::uint32_t RowMeasured = 23;
constexpr std::uint32_t RowSequenceDone = 24;

// The configured search range (tesla) in Hz.
void SearchRangeHz(double& low, double& high)
{
    low = AcqReadDouble(g_pSearchLow);
    high = AcqReadDouble(g_pSearchHigh);
    int result = KorvexConvertUnits(low, eUnitT, eUnitHZ, 0.0);
    if (result == 0) result = KorvexConvertUnits(high, eUnitT, eUnitHZ, 0.0);
    if (result != 0) throw CAcqError(result);
}

void SetTracking(double frequency)
{
    std::uint64_t bits = 0;
    std::memcpy(&bits, &frequency, sizeof bits);
    dsp::SetTrackingParameter(static_cast<std::uint32_t>(bits >> 32), static_cast<std::uint32_t>(bits));
}

float AsFloat(std::uint32_t word)
{
    float value = 0.0f;
    std::memcpy(&value, &word, sizeof value);
    return value;
}

}  // namespace

// ---- trigger flow -------------------------------------------------------------------------

void CKorvexHostAcquisition::TriggerFlow()
{
    Logger().Printf("CKorvexHostAcquisition::TriggerFlow, Entering\n");
    TriggerState.store(0);
    ClearTriggerActive();
    KorvexSetAcquisitionStatusBits(0);
    kernel::semaphore_post(&AcqStartedSemaphore);
    while (!stopping.load()) {
        CAbortCompletion abortCompletion;
        try {
            if (TriggerState.load() == 1) {
                TriggerActive.store(1);
                AcquisitionFlow();
            } else {
                const std::uint32_t result =
                    events.WaitForEvent(CEventRegister::EventMessage, IdleWaitMs, 1);
                if (result == CEventRegister::ResultTimeout) {
                    HeartbeatCheck(eFatalIdleHeartbeat);
                    continue;
                }
                if (result == CEventRegister::ResultDsp) {
                    throw CFatalAcqException(AcqLocation(eFatalIdleDspInterrupt));
                }
                PipeMsg message;
                if (!TakePipeMsg(messageMailbox, message)) throw CAcqError(eGeneralFailure);
                // A bus trigger accepted during the last measurement has nothing to release.
                if (DropStrayBusTrigger(message)) continue;
                if (message.command != PipeMsg::Initiate) throw CAcqError(eGeneralFailure);
                Logger().Printf("CKorvexHostAcquisition::TriggerFlow, Initiate\n");
                TriggerState.store(1);
                continue;
            }
        } catch (const CAcqException& e) {
            if (e.IsAbort()) {
                abortCompletion.semaphore = static_cast<const CAbortException&>(e).Completion();
            }
            HandleAcqException(e);
        }
        if (!stopping.load() && LastAcqError.load() == 0 && AcqReadBool(g_pTriggerInContinuous)) {
            TriggerState.store(1);
        } else {
            TriggerState.store(0);
            ClearTriggerActive();
            KorvexSetAcquisitionStatusBits(0);
        }
    }
}

void CKorvexHostAcquisition::HandleAcqException(const CAcqException& e)
{
    Logger().Printf("CKorvexHostAcquisition::TriggerFlow: %s", e.what());
    if (e.IsError()) {
        const std::int32_t error = static_cast<const CAcqError&>(e).Error();
        CKorvexScpiStatus::SetInstrumentStatusBit(RowAcqError, 1, 0);
        LastAcqError.store(error);
        PostErrorToInitiator(error);
    }
    TriggerState.store(2);
    AbortDSP();
    AcqBufferPool().Reset();
}

// ---- acquisition flows --------------------------------------------------------------------

int CKorvexHostAcquisition::AcquisitionFlow()
{
    Logger().Printf("CKorvexHostAcquisition::AcquisitionFlow, Entering\n");
    SequencePhase.store(0);
    {
        std::lock_guard<std::mutex> hold(selection.mutex);
        SelectedChannels = selection.channels;
        ExpectedValue = selection.expected;
    }
    double frequency = 0.0;
    CKorvexPeripheral* channel = AcquisitionSetupFlow(ExpectedValue, frequency);
    SequencePhase.store(1);
    int failed = 0;
    for (;;) {
        failed = AcquisitionSequenceFlow(channel, ExpectedValue != 0.0 ? 1 : 0, frequency);
        if (stopping.load() || !AcqReadBool(g_pTriggerInContinuous)) break;
        // A sequence need not wait for anything (count 0): look for an abort in between.
        events.WaitForEvent(NoSource, 0, 1);
    }
    if (failed != 0) AcqBufferPool().Reset();
    return 0;
}

CKorvexPeripheral* CKorvexHostAcquisition::AcquisitionSetupFlow(double expected, double& frequency)
{
    Logger().Printf("CKorvexHostAcquisition::AcquisitionSetupFlow, Entering\n");
    frequency = 0.0;
    SetupMode.store(0);
    SendAndReceive(dsp::PW_MEASURE_PARMS, dsp::PW_MEASURE_PARMS_ACK, ReplyTimeoutMs);

    CKorvexPeripheral* channel = nullptr;
    if (AcqReadString(g_pSearchMode) == "MANual") {
        SetupMode.store(1);
        channel = KorvexConnectChannel(0);
        if (channel == nullptr) throw CAcqError(eNoPeripheralConnected);
        return channel;
    }
    if (expected == 0.0) {
        SetupMode.store(3);
        double low = 0.0, high = 0.0;
        SearchRangeHz(low, high);
        double remembered = 0.0;
        std::uint16_t index = 0;
        if (KorvexFindChannelInRange(low, high, remembered, index) == nullptr || remembered <= 0.0) {
            return nullptr;
        }
        channel = KorvexConnectChannel(index);
        if (channel == nullptr) throw CAcqError(eNoPeripheralConnected);
        const double confirmed = ConfirmFrequency(remembered);
        if (confirmed <= 0.0) {
            value_set_f64(channel, 0.0);
            return channel;
        }
        SetTracking(confirmed);
        frequency = confirmed;
    } else {
        SetupMode.store(2);
        channel = KorvexConnectChannel(0);
        if (channel == nullptr) throw CAcqError(eNoPeripheralConnected);
        SetTracking(expected);
        frequency = expected;
    }
    SendAndReceive(dsp::INITIATE_TRACKING, dsp::INITIATE_TRACKING_ACK, ReplyTimeoutMs);
    return channel;
}

int CKorvexHostAcquisition::AcquisitionSequenceFlow(CKorvexPeripheral*& channel,
                                                    std::uint8_t expectedGiven, double& frequency)
{
    Logger().Printf("CKorvexHostAcquisition::AcquisitionSequenceFlow, Entering\n");
    if (AcqReadString(g_pSearchMode) == "MANual") {
        SequenceMode.store(0);
        SendAndReceive(dsp::INITIATE_FIXED_MEASUREMENT, dsp::INITIATE_FIXED_MEASUREMENT_ACK,
                       ReplyTimeoutMs);
    } else if (expectedGiven == 0 && frequency == 0.0) {
        SequenceMode.store(1);
        KorvexSetAcquisitionStatusBits(1);
        double low = 0.0, high = 0.0;
        SearchRangeHz(low, high);
        const double found = SearchFlow(channel, low, high);
        if (found == 0.0) {
            // Nothing stored; the failure shows like a failed measurement's.
            CKorvexScpiStatus::SetInstrumentStatusBit(RowAcqError, 1, 1);
            return 1;
        }
        SetTracking(found);
        SendAndReceive(dsp::INITIATE_TRACKING, dsp::INITIATE_TRACKING_ACK, ReplyTimeoutMs);
    }

    SequenceMode.store(2);
    CAcqBufferPool& pool = AcqBufferPool();
    AcqBuffer* buffer = pool.GetCurrentBuffer(eAcqProducerSide);
    if (buffer == nullptr) buffer = pool.TakeBuffer(eAcqProducerSide);
    const std::uint16_t count = static_cast<std::uint16_t>(AcqReadInt(g_pTriggerInCount));

    bool failed = false;
    if (buffer != nullptr) buffer->entries = 0;  // a reused buffer holds an earlier count
    if (buffer != nullptr && buffer->capacity != 0 && count != 0) {
        for (std::uint32_t i = 0;; ++i) {
            Logger().Printf("CKorvexHostAcquisition::AcquisitionSequenceFlow: Waiting for trigger No %d\n",
                            static_cast<int>(i));
            AcqMeasurement record;
            frequency = TriggerWaitingFlow(channel, record);
            buffer->flux[i] = record.flux;
            buffer->secondValue[i] = record.frequency;
            buffer->sigma[i] = record.sigma;
            buffer->uniformity[i] = record.uniformity;
            buffer->timestamp[i] = record.timestamp;
            buffer->fluxUnit[i] = record.fluxUnit;
            buffer->status[i] = record.status;
            buffer->channel[i] = AcqChannelOf(channel);
            buffer->entries = i + 1;
            if (channel != nullptr) value_set_f64(channel, frequency);
            CKorvexScpiStatus::SetInstrumentStatusBit(RowMeasured, 1, 1);
            if (frequency == 0.0) {
                failed = true;
                break;
            }
            if (i + 1 >= buffer->capacity || i + 1 >= count) break;
        }
    }
    if (failed) buffer->entries = 0;
    pool.ReleaseAndTake(buffer, eAcqProducerSide);

    if (failed) {
        Logger().Printf("CKorvexHostAcquisition::AcquisitionSequenceFlow: Measurements failed\n");
        CKorvexScpiStatus::SetInstrumentStatusBit(RowAcqError, 1, 1);
        return 1;
    }
    Logger().Printf("CKorvexHostAcquisition::AcquisitionSequenceFlow: Measurements succeeded\n");
    CKorvexScpiStatus::SetInstrumentStatusBit(RowAcqError, 0, 1);
    CKorvexScpiStatus::SetInstrumentStatusBit(RowSequenceDone, 1, 1);
    return 0;
}

double CKorvexHostAcquisition::TriggerWaitingFlow(CKorvexPeripheral* /*channel*/, AcqMeasurement& record)
{
    Logger().Printf("CKorvexHostAcquisition::TriggerWaitingFlow, Entering\n");
    const std::string source = AcqReadString(g_pTriggerInSource);
    if (source == "IMMediate") {
    } else if (source == "TIMer") {
        TriggerWaitPhase.store(0);
        KorvexSetAcquisitionStatusBits(2);
        // A delay beyond what one wait takes is waited in slices, each ended by an abort.
        std::int64_t remaining = static_cast<std::int64_t>(AcqReadDouble(g_pTriggerInTimer) * 1000.0);
        do {
            const std::int64_t slice = remaining < TimerSliceMs ? remaining : TimerSliceMs;
            events.WaitForEvent(NoSource, static_cast<std::int16_t>(slice > 0 ? slice : 0), 1);
            remaining -= slice;
        } while (remaining > 0);
    } else if (source == "BUS") {
        TriggerWaitPhase.store(1);
        KorvexSetAcquisitionStatusBits(2);
        KorvexWaitForBusTrigger();
    } else if (source == "EXTernal") {
    } else {
        throw CFatalAcqException(AcqLocation(eFatalTriggerSource));
    }
    Logger().Printf("CKorvexHostAcquisition::TriggerWaitingFlow: Trigger!\n");
    if (source == "EXTernal") {
        TriggerWaitPhase.store(2);
        KorvexSetAcquisitionStatusBits(2);
    } else {
        TriggerWaitPhase.store(3);
        KorvexSetAcquisitionStatusBits(3);
    }

    KorvexRunMeasurement(record);

    if (AcqReadString(g_pProbeMatchingTuningMode) == "AUTO") {
        AcqStoreIfChanged(g_pProbeMatching, static_cast<double>(record.matching));
        AcqStoreIfChanged(g_pProbeTuning, static_cast<double>(record.tuning));
    }
    Logger().Printf("CKorvexHostAcquisition::TriggerWaitingFlow, Measured: %g\n", record.flux);
    KorvexSetAcquisitionStatusBits(3);
    return record.frequency;
}

void CKorvexHostAcquisition::KorvexRunMeasurement(AcqMeasurement& record)
{
    SendAndReceive(dsp::TRIGGER, dsp::TRIGGER_ACK, ReplyTimeoutMs);

    dsp::DSPStatusBlock block = dsp::ReadStatusBlock();
    unsigned polls = 0;
    while ((block.word[2] & StatusMeasurementRunning) != 0) {
        if (events.WaitForEvent(0, MeasurementPollMs, 1) != CEventRegister::ResultTimeout) {
            throw CAcqError(eGeneralFailure);
        }
        KorvexUpdateAcqStatusBits(block.word[2]);
        if (++polls % PollsPerHeartbeatCheck == 0) HeartbeatCheck(eFatalMeasureHeartbeat);
        block = dsp::ReadStatusBlock();
    }

    try {
        const std::uint32_t sent = dsp::SendMessage(dsp::GET_PW_MEASUREMENT);
        if (sent != 0) throw CAcqError(static_cast<std::int32_t>(sent));
        if (events.WaitForEvent(CEventRegister::EventDsp, ReplyTimeoutMs, 1) != CEventRegister::ResultDsp) {
            throw CAcqError(eDspExchangeFailed);
        }
        std::uint32_t status = 0;
        const std::uint32_t received = dsp::ReceiveMessage(dsp::RETURN_PW_MEASUREMENT, status);
        if (received != 0) throw CAcqError(static_cast<std::int32_t>(received));
        KorvexUpdateAcqStatusBits(status);
        const bool quality = AcqReadString(g_pSearchMode) == "MANual" ||
                             ((status & 0x1u) != 0 && (status & 0x2u) == 0);

        std::uint32_t sigma = 0, uniformity = 0, matching = 0, tuning = 0;
        double timestamp = 0.0;
        dsp::GetMeasurementReply(record.flux, record.fluxUnit, record.frequency, sigma, record.unused,
                                 uniformity, matching, tuning, timestamp);
        record.sigma = AsFloat(sigma);
        record.uniformity = AsFloat(uniformity);
        record.matching = AsFloat(matching);
        record.tuning = AsFloat(tuning);
        std::memcpy(&record.timestamp, &timestamp, sizeof record.timestamp);
        record.status = quality ? 1 : 0;
        dsp::ReleaseDSP();
    } catch (const CAcqException&) {
        dsp::ReleaseDSP();
        throw;
    }
}

CKorvexPeripheral* CKorvexHostAcquisition::KorvexConnectChannel(std::uint16_t index)
{
    if (index >= SelectedChannels.size()) throw CAcqError(eInvalidChannelList);
    CurrentChannelIndex.store(index);
    CKorvexChannel channel = SelectedChannels[index];
    if (channel.count > CKorvexChannel::MaxLevels) channel.count = CKorvexChannel::MaxLevels;
    CKorvexPeripheral* peripheral = nullptr;
    const int selected = CKorvexPeripheral::SelectChannel(channel, peripheral);
    if (selected != 0) throw CAcqError(selected);
    SendAndReceive(dsp::PW_PROBE_CONNECT, dsp::PW_PROBE_CONNECT_ACK, ReplyTimeoutMs);
    return peripheral;
}

void CKorvexHostAcquisition::KorvexWaitForBusTrigger()
{
    if (events.WaitForEvent(CEventRegister::EventMessage, -1, 1) != CEventRegister::ResultMessage) {
        throw CAcqError(eGeneralFailure);
    }
    PipeMsg message;
    if (!TakePipeMsg(messageMailbox, message) || message.command != PipeMsg::BusTrigger) {
        throw CAcqError(eGeneralFailure);
    }
}

// ---- DSP exchanges --------------------------------------------------------------------------

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

void CKorvexHostAcquisition::AbortDSP()
{
    Logger().Printf("CKorvexHostAcquisition::AbortDSP: Aborting ...\n");
    for (int attempt = 0;; ++attempt) {
        try {
            TakeDspForExchange();
            if (dsp::SendMessage(dsp::ABORT) != 0) throw CFatalAcqException(AcqLocation(eFatalAbortSend));
            if (events.WaitForEvent(CEventRegister::EventDsp, AbortReplyTimeoutMs, 0) !=
                CEventRegister::ResultDsp) {
                throw CFatalAcqException(AcqLocation(eFatalAbortNoReply));
            }
            std::uint32_t status = 0;
            if (dsp::ReceiveMessage(dsp::ABORT_ACK, status) != 0) {
                throw CFatalAcqException(AcqLocation(eFatalAbortReceive));
            }
            KorvexUpdateAcqStatusBits(status);
            dsp::ReleaseDSP();
            return;
        } catch (const CFatalAcqException&) {
            dsp::ReleaseDSP();
            if (attempt != 0) throw;
        }
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

}  // namespace Korvex
