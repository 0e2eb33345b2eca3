// The handler fixture with an acquisition that is up (a fake seam that records its calls
// and, on an initiation, stores one measurement per trigger count), result buffers to
// fill, and the probe-service doubles. Dispatch() runs a unit through the dispatcher, so a
// thrown failure ends as a posted error as on the parser thread.
#pragma once

#include <cstring>
#include <string>
#include <vector>

#include "Host/acquisition/AcqBufferPool.h"
#include "Host/acquisition/AcquisitionSeam.h"
#include "Host/acquisition/IntermediateResults.h"
#include "Host/scpi/handlers/HandlerFixture.h"
#include "Host/scpi/handlers/ProbeServicesDouble.h"

namespace Korvex::test {

// One stored measurement.
struct Measurement {
    double flux = 1.5;
    std::uint32_t unit = eUnitT;
    float sigma = 0.25f;
    float uniformity = 0.5f;
    std::uint64_t timestamp = 1000;
    CKorvexChannel channel;
    std::uint8_t status = 0;
};

class CFakeAcquisition : public CAcquisitionSeam {
public:
    bool TriggerActive() override { return triggerActive; }
    bool SystemUp() override { return systemUp; }
    int SendBusTrigger() override { return busTriggerResult; }
    int InitiateTrigger(CKorvexScpiStatus* initiator, std::vector<CKorvexChannel>& channels,
                        double expected) override
    {
        initiated.push_back(channels);
        expectedValues.push_back(expected);
        lastInitiator = initiator;
        if (initiateResult != 0) return initiateResult;
        if (measureOnInitiate) Store(std::vector<Measurement>(1, next));
        return 0;
    }
    int Reset() override
    {
        ++resets;
        return 0;
    }
    void ResetModesToDefaults() override { ++modeResets; }
    int AbortTrigger(int stopContinuous) override
    {
        aborts.push_back(stopContinuous);
        return abortResult;
    }
    int TriggerOut(int flag) override
    {
        triggerOuts.push_back(flag);
        return triggerOutResult;
    }
    int ConfigureExtRef(const std::string& mode) override
    {
        extRefModes.push_back(mode);
        // As the controller does: the mode is stored before the DSP is asked.
        CParameterNode::SetStringAttribute(g_pRefClockMode, eAttrValue, mode);
        return extRefResult;
    }

    // A full result buffer with these measurements (the newest one).
    static void Store(const std::vector<Measurement>& measurements)
    {
        CAcqBufferPool& pool = AcqBufferPool();
        AcqBuffer* buffer = pool.GetCurrentBuffer(eAcqProducerSide);
        if (buffer == nullptr) buffer = pool.TakeBuffer(eAcqProducerSide);
        ASSERT_NE(buffer, nullptr);
        ASSERT_LE(measurements.size(), buffer->capacity);
        for (std::size_t i = 0; i < measurements.size(); ++i) {
            buffer->flux[i] = measurements[i].flux;
            buffer->fluxUnit[i] = measurements[i].unit;
            buffer->sigma[i] = measurements[i].sigma;
            buffer->uniformity[i] = measurements[i].uniformity;
            buffer->timestamp[i] = measurements[i].timestamp;
            buffer->channel[i] = measurements[i].channel;
            buffer->status[i] = measurements[i].status;
        }
        buffer->entries = static_cast<std::uint32_t>(measurements.size());
        pool.ReleaseAndTake(buffer, eAcqProducerSide);
    }

    bool triggerActive = false;
    bool systemUp = true;
    int busTriggerResult = 0;
    int initiateResult = 0;
    int abortResult = 0;
    int triggerOutResult = 0;
    int extRefResult = 0;
    bool measureOnInitiate = true;
    Measurement next;

    std::vector<std::vector<CKorvexChannel>> initiated;
    std::vector<double> expectedValues;
    CKorvexScpiStatus* lastInitiator = nullptr;
    std::vector<int> aborts;
    std::vector<int> triggerOuts;
    std::vector<std::string> extRefModes;
    int resets = 0;
    int modeResets = 0;
};

class MeasureFixture : public HandlerFixture {
protected:
    void SetUp() override
    {
        HandlerFixture::SetUp();
        Probes().Reset();
        CAcquisitionSeam::Install(&acquisition);
        AcqBufferPool().AllocateBuffers(
            static_cast<std::uint32_t>(CParameterNode::GetInt32Attribute(g_pResultsSize, eAttrMaximum)));
        IntermediateResults().Allocate();
        ReleaseStores();
        AcqBufferPool().Reset();
        CKorvexScpiStatus::ReadAndClearEvent(block, eRegStandardEvent);  // power on
    }

    void TearDown() override
    {
        ReleaseStores();
        AcqBufferPool().Reset();
        CAcquisitionSeam::Install(nullptr);
        ProbeServices::Uninstall();
        CParameterNode::SetPointerAttribute(g_pCurrentChannelList, eAttrValue, nullptr);
        HandlerFixture::TearDown();
    }

    // What the parser thread does after every message.
    static void ReleaseStores()
    {
        IntermediateResults().ClearReady();
        KorvexReleaseReadBuffer();
        IntermediateResults().Unlock();
    }

    // One unit through the dispatcher, with the stores released afterwards.
    ParsedCommand Dispatch(const std::string& unit)
    {
        response.clear();
        std::vector<ParsedCommand> records;
        EXPECT_EQ(CKorvexHostParser::ParseMessage(unit, records, &response), 0) << unit;
        if (records.size() != 1) {
            ADD_FAILURE() << unit;
            return ParsedCommand(&response);
        }
        ParsedCommand record = records[0];
        record.mark = static_cast<std::uint32_t>(response.size());
        parser->_DispatchCommand(record, *host);
        ReleaseStores();
        return record;
    }

    // The oldest queued error as "<code>,<text>".
    std::string NextError()
    {
        std::int16_t code = 0;
        std::string text;
        CKorvexScpiStatus::GetErrorText(CKorvexScpiStatus::PopError(block), code, text);
        return std::to_string(code) + "," + text;
    }

    static void SetFormat(const char* format) { SetText(g_pParametersFormat, format); }
    static void SetUnit(const char* unit) { SetText(g_pUnitsSelected, unit); }

    static std::string Bytes(const void* data, std::size_t n)
    {
        return std::string(static_cast<const char*>(data), n);
    }
    template <typename T>
    static std::string Raw(T value)
    {
        return Bytes(&value, sizeof value);
    }

    CFakeAcquisition acquisition;
};

}  // namespace Korvex::test
