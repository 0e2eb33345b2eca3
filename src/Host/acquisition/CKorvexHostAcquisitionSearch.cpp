// The frequency search of the acquisition thread: a remembered frequency confirmed by a short
// DSP search around it, or a DSP search over the configured range narrowed to the probe's
// range and, with a Hall sensor, around its reading.
#include <string>

#include "Host/acquisition/AcqExceptions.h"
#include "Host/acquisition/AcqNodeValues.h"
#include "Host/acquisition/CKorvexDSP.h"
#include "Host/acquisition/CKorvexHostAcquisition.h"
#include "Host/parameters/Bindings.h"
#include "Host/parameters/Error.h"
#include "Host/parameters/Logger.h"
#include "Host/peripherals/CKorvexPeripheral.h"
#include "Host/scpi/units/MeasurementUnits.h"

namespace Korvex {

namespace {

namespace dsp = CKorvexDSP;

constexpr std::int16_t ReplyTimeoutMs = 500;
constexpr std::int16_t SearchPollMs = 100;
constexpr std::uint32_t StatusSearchRunning = 0x10;

enum eSearchMode : std::uint32_t {
    SearchRange = 0,
    SearchAroundCentre = 1,
    SearchConfirm = 2,
};

}  // namespace

void CKorvexHostAcquisition::SetSearchProgress(std::uint8_t progress, float frequency)
{
    std::lock_guard<std::mutex> hold(SearchProgress.mutex);
    SearchProgress.progress = progress;
    SearchProgress.frequency = frequency;
}

void CKorvexHostAcquisition::SetSearchProgress(std::uint8_t progress)
{
    std::lock_guard<std::mutex> hold(SearchProgress.mutex);
    SearchProgress.progress = progress;
}

double CKorvexHostAcquisition::SearchExchange(float first, float second, float third,
                                              std::uint32_t mode, unsigned stallLine)
{
    dsp::SetSearchParameters(first, second, third, mode);
    SendAndReceive(dsp::INITIATE_SEARCH, dsp::INITIATE_SEARCH_ACK, ReplyTimeoutMs);

    dsp::DSPStatusBlock block = dsp::ReadStatusBlock();
    while ((block.word[2] & StatusSearchRunning) != 0) {
        if (events.WaitForEvent(0, SearchPollMs, 1) != CEventRegister::ResultTimeout) {
            throw CAcqError(eGeneralFailure);
        }
        KorvexUpdateAcqStatusBits(block.word[2]);
        HeartbeatCheck(stallLine);
        block = dsp::ReadStatusBlock();
    }

    try {
        const std::uint32_t sent = dsp::SendMessage(dsp::GET_SEARCH_RESULT);
        if (sent != 0) throw CAcqError(static_cast<std::int32_t>(sent));
        if (events.WaitForEvent(CEventRegister::EventDsp, ReplyTimeoutMs, 1) != CEventRegister::ResultDsp) {
            throw CAcqError(eDspExchangeFailed);
        }
        std::uint32_t status = 0;
        const std::uint32_t received = dsp::ReceiveMessage(dsp::RETURN_SEARCH_RESULT, status);
        if (received != 0) throw CAcqError(static_cast<std::int32_t>(received));
        KorvexUpdateAcqStatusBits(status);
        double found = 0.0;
        dsp::GetReplyValue(found);
        dsp::ReleaseDSP();
        return found;
    } catch (const CAcqException&) {
        dsp::ReleaseDSP();
        throw;
    }
}

double CKorvexHostAcquisition::ConfirmFrequency(double frequency)
{
    Logger().Printf("CKorvexHostAcquisition::ConfirmFrequency: %f\n", frequency);
    const float f = static_cast<float>(frequency);
    return SearchExchange(f, f, f, SearchConfirm, eFatalConfirmHeartbeat);
}

double CKorvexHostAcquisition::KorvexNmrSearch(float low, float high, float centre)
{
    const double found = centre != 0.0f
                             ? SearchExchange(low, high, centre, SearchAroundCentre, eFatalSearchHeartbeat)
                             : SearchExchange(low, high, low, SearchRange, eFatalSearchHeartbeat);
    SetSearchProgress(100);
    return found;
}

double CKorvexHostAcquisition::KorvexHallSearch(CKorvexPeripheral* channel, float low, float high)
{
    auto* probe = dynamic_cast<CKorvexPwMeasuringPeripheral*>(channel);
    float x = 0.0f, y = 0.0f, z = 0.0f, field = 0.0f, tolerance = 0.0f;
    double hall = 0.0;
    bool read = probe != nullptr && probe->GetHallValue(x, y, z, field, tolerance) == 0;
    if (read) {
        hall = field;
        read = KorvexConvertUnits(hall, eUnitT, eUnitHZ, 0.0) == 0;
    }
    if (!read) {
        SetSearchProgress(0, -1.0f);
        return KorvexNmrSearch(low, high, 0.0f);
    }
    const float hallHz = static_cast<float>(hall);
    SetSearchProgress(0, hallHz);
    if (hallHz < low || hallHz > high) return 0.0;

    const float aroundLow = static_cast<float>((1.0 - tolerance) * hallHz);
    const float aroundHigh = static_cast<float>((tolerance + 1.0) * hallHz);
    if (aroundLow > low) low = aroundLow;
    if (aroundHigh < high) high = aroundHigh;
    return KorvexNmrSearch(low, high, hallHz);
}

double CKorvexHostAcquisition::SearchFlow(CKorvexPeripheral*& channel, double low, double high)
{
    Logger().Printf("CKorvexHostAcquisition::SearchFlow, Entering\n");
    double result = 0.0;
    for (std::size_t i = 0; i < SelectedChannels.size(); ++i) {
        const bool connected =
            channel != nullptr && AcqChannelPath(AcqChannelOf(channel)) == AcqChannelPath(SelectedChannels[i]);
        if (!connected) {
            SearchStep.store(0);
            channel = KorvexConnectChannel(static_cast<std::uint16_t>(i));
            if (channel == nullptr) break;
        }
        SearchStep.store(1);
        // A peripheral that is no pulsed-wave probe covers no range.
        auto* probe = dynamic_cast<CKorvexPwMeasuringPeripheral*>(channel);
        const double probeMin = probe != nullptr ? probe->GetMinFreq() : 0.0;
        const double probeMax = probe != nullptr ? probe->GetMaxFreq() : 0.0;
        double lo = probeMin > low ? probeMin : low;
        double hi = probeMax < high ? probeMax : high;
        if (hi < lo) lo = hi = 0.0;
        if (hi != 0.0 && hi >= lo) {
            if (AcqReadBool(g_pSearchHallEnabled) && probe->GetHallState()) {
                result = KorvexHallSearch(channel, static_cast<float>(lo), static_cast<float>(hi));
            } else {
                SetSearchProgress(0, -1.0f);
                result = KorvexNmrSearch(static_cast<float>(lo), static_cast<float>(hi), 0.0f);
            }
        }
        Logger().Printf("CKorvexHostAcquisition::SearchFlow: Found f = %f\n", result);
        // The first channel that finds a frequency is the one measured: it stays connected
        // and keeps its result.
        if (result > 0.0) break;
    }
    return result;
}

CKorvexPeripheral* CKorvexHostAcquisition::KorvexFindChannelInRange(double low, double high,
                                                                    double& remembered,
                                                                    std::uint16_t& index)
{
    if (SelectedChannels.empty()) throw CAcqError(eNoProbeSelected);
    for (std::size_t i = 0; i < SelectedChannels.size(); ++i) {
        CKorvexPeripheral* peripheral = CKorvexPeripheral::IsPresent(AcqChannelPath(SelectedChannels[i]));
        if (peripheral == nullptr || !peripheral->IsMeasuring()) throw CAcqError(eInvalidChannelList);
        remembered = value_get_f64(peripheral);
        if (remembered > 0.0 && remembered >= low && remembered <= high) {
            index = static_cast<std::uint16_t>(i);
            return peripheral;
        }
    }
    remembered = 0.0;
    return nullptr;
}

}  // namespace Korvex
