#include "Host/scpi/status/KorvexScpiStatus.h"

#include <gtest/gtest.h>

#include <atomic>
#include <string>

#include "FakeServiceRequester.h"

using Korvex::CKorvexScpiStatus;
using Korvex::GlobalBlock;
using Korvex::StatusBitTable;
using S = Korvex::CKorvexScpiStatus;

namespace {

// A host session's block: fake device, pending-response pointer, global block as template.
// Clears every all-sessions bit but power-on afterwards, so that tests see fewer of each
// other's states; events left in the shared blocks stay.
class ScpiStatusFixture : public ::testing::Test {
protected:
    void TearDown() override {
        for (std::uint32_t row = 0; row < Korvex::StatusBitRowCount; ++row) {
            if (StatusBitTable[row].allSessions && row != Korvex::eRowPowerOn) {
                S::SetStatusBitAllSessions(row, 0, 1);
            }
        }
        S::UpdateAllSessions();
    }

    void SetEnable(std::uint32_t reg, std::uint16_t value, std::uint8_t defer = 1) {
        S::SetEnable(&block, reg, value, defer);
    }

    KorvexTest::CFakeServiceRequester device;
    S::MavSource pendingResponse{nullptr};
    CKorvexScpiStatus block{&device, &pendingResponse, &GlobalBlock()};
};

class ScpiStatusModel : public ScpiStatusFixture {};
class ScpiStatusErrors : public ScpiStatusFixture {};
class ScpiStatusSrq : public ScpiStatusFixture {};
class ScpiStatusBounds : public ScpiStatusFixture {};

TEST_F(ScpiStatusModel, NewSessionReportsPowerOnOnce) {
    EXPECT_EQ(S::ReadEvent(&block, Korvex::eRegStandardEvent), 128);
    EXPECT_EQ(S::ReadEvent(&block, Korvex::eRegStandardEvent), 128);  // reading keeps it
    EXPECT_EQ(S::ReadAndClearEvent(&block, Korvex::eRegStandardEvent), 128);
    EXPECT_EQ(S::ReadAndClearEvent(&block, Korvex::eRegStandardEvent), 0);
    EXPECT_EQ(S::ReadCondition(&block, Korvex::eRegStandardEvent), 0x80);
}

TEST_F(ScpiStatusModel, EnablesDropBit15AndServiceRequestBit) {
    std::uint16_t value = 64;
    S::SetEnable(&block, Korvex::eRegStatusByte, value, 1);
    EXPECT_EQ(value, 0);
    EXPECT_EQ(S::GetEnable(&block, Korvex::eRegStatusByte), 0);
    value = 255;
    S::SetEnable(&block, Korvex::eRegStatusByte, value, 1);
    EXPECT_EQ(value, 191);
    EXPECT_EQ(S::GetEnable(&block, Korvex::eRegStatusByte), 191);
    value = 0xFFFF;
    S::SetEnable(&block, Korvex::eRegStandardEvent, value, 1);
    EXPECT_EQ(value, 0x7FFF);
    value = 0x8041;
    S::SetEnable(&block, Korvex::eRegOperation, value, 1);
    EXPECT_EQ(S::GetEnable(&block, Korvex::eRegOperation), 0x41);
}

TEST_F(ScpiStatusModel, PulseBitLeavesConditionEventStaysUntilRead) {
    SetEnable(Korvex::eRegOperation, 0x800);
    SetEnable(Korvex::eRegStatusByte, 0x80);
    S::SetStatusBit(&block, 49, 1, 0);  // OPERation:BIT11 0x4
    EXPECT_EQ(device.calls, 1);
    EXPECT_EQ(S::ReadStatusByte(&block, 0), 0x80 | 0x40);
    EXPECT_EQ(S::ReadCondition(&block, Korvex::eRegOperationBit11), 0);
    EXPECT_EQ(S::ReadEvent(&block, Korvex::eRegOperationBit11), 0x4);
    EXPECT_EQ(S::ReadEvent(&block, Korvex::eRegOperationBit11), 0x4);
    EXPECT_EQ(S::ReadAndClearEvent(&block, Korvex::eRegOperationBit11), 0x4);
    EXPECT_EQ(S::ReadAndClearEvent(&block, Korvex::eRegOperationBit11), 0);
    // The summary in OPERation is a level, not a pulse: it stays until the sub-register's
    // event is gone and OPERation's own event was read.
    EXPECT_EQ(S::ReadCondition(&block, Korvex::eRegOperation), 0);
    EXPECT_EQ(S::ReadAndClearEvent(&block, Korvex::eRegOperation), 0x800);
    S::Evaluate(&block);
    EXPECT_EQ(S::ReadStatusByte(&block, 0) & 0xC0, 0);
    EXPECT_EQ(device.callsWithoutLock, 0);
}

TEST_F(ScpiStatusModel, DeferredBitWaitsForEvaluation) {
    SetEnable(Korvex::eRegOperation, 0x800);
    SetEnable(Korvex::eRegStatusByte, 0x80);
    S::SetStatusBit(&block, 49, 1, 1);
    EXPECT_EQ(device.calls, 0);
    EXPECT_EQ(S::ReadStatusByte(&block, 0), 0);
    S::UpdateAllSessions();
    EXPECT_EQ(device.calls, 1);
    EXPECT_EQ(S::ReadStatusByte(&block, 0), 0x80 | 0x40);
}

TEST_F(ScpiStatusModel, QuestionableConditionFollowsInstrumentRow) {
    S::SetInstrumentStatusBit(40, 1, 0);
    EXPECT_EQ(S::ReadCondition(&block, Korvex::eRegQuestionable), 0x800);
    EXPECT_EQ(S::ReadCondition(&Korvex::InstrumentBlock(), Korvex::eRegQuestionable) & 0x800, 0x800);
    S::SetInstrumentStatusBit(40, 0, 0);
    EXPECT_EQ(S::ReadCondition(&block, Korvex::eRegQuestionable), 0);
}

TEST_F(ScpiStatusModel, InstrumentRowWithoutAllSessionsStaysInInstrumentBlock) {
    S::SetInstrumentStatusBit(16, 1, 0);  // OPERation 0x2
    EXPECT_EQ(S::ReadCondition(&Korvex::InstrumentBlock(), Korvex::eRegOperation) & 0x2, 0x2);
    EXPECT_EQ(S::ReadCondition(&block, Korvex::eRegOperation), 0);
    S::SetInstrumentStatusBit(16, 0, 0);
}

TEST_F(ScpiStatusModel, NewSessionCopiesConditionsWithoutEvents) {
    S::SetInstrumentStatusBit(18, 1, 0);
    KorvexTest::CFakeServiceRequester otherDevice;
    S::MavSource otherResponse{nullptr};
    CKorvexScpiStatus late(&otherDevice, &otherResponse, &GlobalBlock());
    EXPECT_EQ(S::ReadCondition(&late, Korvex::eRegOperation), 0x08);
    EXPECT_EQ(S::ReadEvent(&late, Korvex::eRegOperation), 0);
    // Enables are not copied.
    std::uint16_t value = 0x10;
    S::SetEnable(&GlobalBlock(), Korvex::eRegOperation, value, 1);
    CKorvexScpiStatus later(nullptr, nullptr, &GlobalBlock());
    EXPECT_EQ(S::GetEnable(&later, Korvex::eRegOperation), 0);
    value = 0;
    S::SetEnable(&GlobalBlock(), Korvex::eRegOperation, value, 1);
    // The older session saw the rising edge.
    EXPECT_EQ(S::ReadEvent(&block, Korvex::eRegOperation), 0x08);
}

TEST_F(ScpiStatusModel, SummariesReachStatusByteInOneEvaluation) {
    SetEnable(Korvex::eRegQuestionable, 0x1000);
    SetEnable(Korvex::eRegStatusByte, 0x08);
    S::SetStatusBit(&block, 44, 1, 0);  // QUEStionable:BIT12 0x1, all sessions
    EXPECT_EQ(S::ReadStatusByte(&block, 0), 0x08 | 0x40);
    EXPECT_EQ(device.calls, 1);
}

TEST_F(ScpiStatusModel, TransitionFilters) {
    S::SetPTR(&block, Korvex::eRegQuestionable, 0);
    S::SetNTR(&block, Korvex::eRegQuestionable, 0x1);
    EXPECT_EQ(S::GetPTR(&block, Korvex::eRegQuestionable), 0);
    EXPECT_EQ(S::GetNTR(&block, Korvex::eRegQuestionable), 0x1);
    S::SetStatusBit(&block, 29, 1, 0);
    EXPECT_EQ(S::ReadEvent(&block, Korvex::eRegQuestionable), 0);
    S::SetStatusBit(&block, 29, 0, 0);
    EXPECT_EQ(S::ReadEvent(&block, Korvex::eRegQuestionable), 0x1);
    S::SetNTR(&block, Korvex::eRegQuestionable, 0xFFFF);
    EXPECT_EQ(S::GetNTR(&block, Korvex::eRegQuestionable), 0xFFFF);  // filters keep bit 15
}

TEST_F(ScpiStatusModel, PresetRestoresFiltersAndEnablesButNotSreEse) {
    SetEnable(Korvex::eRegStatusByte, 0x20);
    SetEnable(Korvex::eRegStandardEvent, 0x3C);
    for (std::uint32_t reg = 0; reg < Korvex::StatusRegisterCount; ++reg) {
        S::SetPTR(&block, reg, 0x5);
        S::SetNTR(&block, reg, 0x7);
        if (reg >= Korvex::eRegOperation) SetEnable(reg, 0x3);
    }
    S::Preset(&block);
    const std::uint16_t ptr[] = {0xFF, 0xFF, 0xFFFF, 0xFFFF, 0xFFFF, 0xFFFF, 0xFFFF};
    const std::uint16_t enable[] = {0x20, 0x3C, 0, 0, 0xFFFF, 0xFFFF, 0xFFFF};
    for (std::uint32_t reg = 0; reg < Korvex::StatusRegisterCount; ++reg) {
        EXPECT_EQ(S::GetPTR(&block, reg), ptr[reg]) << reg;
        EXPECT_EQ(S::GetNTR(&block, reg), 0) << reg;
        EXPECT_EQ(S::GetEnable(&block, reg), enable[reg]) << reg;
    }
}

TEST_F(ScpiStatusModel, MessageAvailableFollowsPendingResponse) {
    int response = 0;
    pendingResponse.store(&response);
    S::Evaluate(&block);
    EXPECT_EQ(S::ReadStatusByte(&block, 0), 0x10);
    pendingResponse.store(nullptr);
    EXPECT_EQ(S::ReadStatusByte(&block, 0), 0x10);  // no evaluation: last evaluation's bits
    S::Evaluate(&block);
    EXPECT_EQ(S::ReadStatusByte(&block, 0), 0);
}

TEST_F(ScpiStatusErrors, OverflowKeepsNineAndQueueOverflow) {
    for (std::uint32_t row = 1; row <= 11; ++row) S::PostError(&block, row, 1);
    for (std::uint32_t row = 1; row <= 9; ++row) EXPECT_EQ(S::PopError(&block), row);
    EXPECT_EQ(S::PopError(&block), 107u);
    EXPECT_EQ(S::PopError(&block), 0u);

    for (std::uint32_t row = 1; row <= 12; ++row) S::PostError(&block, row, 1);
    S::PostError(&block, 113, 1);  // dropped, but its event bit is still set
    for (std::uint32_t row = 1; row <= 9; ++row) EXPECT_EQ(S::PopError(&block), row);
    EXPECT_EQ(S::PopError(&block), 107u);
    EXPECT_EQ(S::PopError(&block), 0u);
    EXPECT_EQ(S::PopError(&block), 0u);
    EXPECT_EQ(S::ReadAndClearEvent(&block, Korvex::eRegStandardEvent), 0x80 | 0x20 | 0x04);
}

TEST_F(ScpiStatusErrors, QueueBitAndRowZero) {
    S::PostError(&block, 0, 0);
    EXPECT_EQ(S::PopError(&block), 0u);
    EXPECT_EQ(S::ReadStatusByte(&block, 0) & 0x04, 0);
    S::PostError(&block, 3, 0);
    EXPECT_EQ(S::ReadStatusByte(&block, 0) & 0x04, 0x04);
    EXPECT_EQ(S::PopError(&block), 3u);
    S::Evaluate(&block);
    EXPECT_EQ(S::ReadStatusByte(&block, 0) & 0x04, 0);
}

TEST_F(ScpiStatusErrors, AllSessionsErrorReachesEveryBlock) {
    CKorvexScpiStatus other(nullptr, nullptr, nullptr);
    S::PostError(&block, 128, 0);  // 201 "No probe", all sessions
    EXPECT_EQ(S::PopError(&other), 128u);
    EXPECT_EQ(S::PopError(&block), 128u);
    EXPECT_EQ(S::ReadEvent(&other, Korvex::eRegStandardEvent) & 0x08, 0x08);
    S::PostError(&block, 12, 0);  // "Undefined header": this session only
    EXPECT_EQ(S::PopError(&other), 0u);
    EXPECT_EQ(S::PopError(&block), 12u);
}

TEST_F(ScpiStatusErrors, ClearEmptiesQueueAndEventsKeepsConditionsAndEnables) {
    SetEnable(Korvex::eRegStandardEvent, 0x20);
    S::SetStatusBit(&block, 29, 1, 0);
    S::PostError(&block, 12, 0);
    S::Clear(&block);
    EXPECT_EQ(S::PopError(&block), 0u);
    EXPECT_EQ(S::ReadEvent(&block, Korvex::eRegStandardEvent), 0);
    EXPECT_EQ(S::ReadEvent(&block, Korvex::eRegQuestionable), 0);
    EXPECT_EQ(S::ReadCondition(&block, Korvex::eRegQuestionable), 0x1);
    EXPECT_EQ(S::GetEnable(&block, Korvex::eRegStandardEvent), 0x20);
    EXPECT_EQ(S::ReadStatusByte(&block, 0), 0);
}

TEST_F(ScpiStatusSrq, CommandErrorRaisesOneRequest) {
    SetEnable(Korvex::eRegStatusByte, 0x20);
    SetEnable(Korvex::eRegStandardEvent, 0x20);
    S::PostError(&block, 12, 0);
    EXPECT_EQ(device.calls, 1);
    EXPECT_EQ(S::ReadStatusByte(&block, 0), 0x20 | 0x04 | 0x40);
    EXPECT_EQ(S::ReadStatusByte(&block, 1), 0x20 | 0x04);  // request handed over
    EXPECT_EQ(S::ReadStatusByte(&block, 2), 0x20 | 0x04);
    S::PostError(&block, 3, 0);
    S::UpdateAllSessions();
    EXPECT_EQ(device.calls, 1);
    EXPECT_EQ(device.callsWithoutLock, 0);
}

TEST_F(ScpiStatusSrq, FailedRequestIsRetried) {
    device.result = 0x54301;
    SetEnable(Korvex::eRegStatusByte, 0x20);
    SetEnable(Korvex::eRegStandardEvent, 0x20);
    S::PostError(&block, 12, 0);
    EXPECT_EQ(device.calls, 1);
    EXPECT_EQ(S::ReadStatusByte(&block, 1) & 0x40, 0x40);
    S::Evaluate(&block);  // evaluation alone raises nothing
    EXPECT_EQ(device.calls, 1);
    S::UpdateAllSessions();
    EXPECT_EQ(device.calls, 2);
    device.result = 0;
    S::UpdateAllSessions();
    EXPECT_EQ(device.calls, 3);
    EXPECT_EQ(S::ReadStatusByte(&block, 1) & 0x40, 0);
    EXPECT_EQ(S::ReadStatusByte(&block, 0) & 0x40, 0x40);
    S::UpdateAllSessions();
    EXPECT_EQ(device.calls, 3);
}

TEST_F(ScpiStatusSrq, NewlyEnabledSetBitRaisesRequest) {
    S::PostError(&block, 12, 0);
    EXPECT_EQ(device.calls, 0);
    SetEnable(Korvex::eRegStatusByte, 0x04, 0);  // queue not empty, now enabled
    EXPECT_EQ(device.calls, 1);
}

TEST_F(ScpiStatusSrq, ClearWithPendingResponseRaisesNewRequest) {
    int response = 0;
    pendingResponse.store(&response);
    SetEnable(Korvex::eRegStatusByte, 0x10, 0);
    EXPECT_EQ(device.calls, 1);
    S::UpdateAllSessions();
    EXPECT_EQ(device.calls, 1);
    S::Clear(&block);
    EXPECT_EQ(S::ReadStatusByte(&block, 1) & 0x40, 0x40);
    S::UpdateAllSessions();
    EXPECT_EQ(device.calls, 2);
}

TEST_F(ScpiStatusBounds, ErrorRowPastTableIsFirmwareError) {
    S::PostError(&block, Korvex::SCPIErrorRowCount, 0);
    S::PostError(&block, 0xFFFFFFFFu, 0);
    S::QueueError(&block, 5000);
    EXPECT_EQ(S::PopError(&block), 127u);
    EXPECT_EQ(S::PopError(&block), 127u);
    EXPECT_EQ(S::PopError(&block), 127u);
    EXPECT_EQ(S::PopError(&block), 0u);
    std::int16_t code = 0;
    std::string text;
    S::GetErrorText(133, code, text);
    EXPECT_EQ(code, 200);
    EXPECT_EQ(text, "Firmware error");
}

TEST_F(ScpiStatusBounds, BitRowAndRegisterPastTableDoNothing) {
    auto snapshot = [this] {
        std::string s;
        for (std::uint32_t reg = 0; reg < Korvex::StatusRegisterCount; ++reg) {
            s += std::to_string(S::ReadCondition(&block, reg)) + "/" +
                 std::to_string(S::ReadEvent(&block, reg)) + "/" +
                 std::to_string(S::GetEnable(&block, reg)) + "/" +
                 std::to_string(S::GetPTR(&block, reg)) + "/" +
                 std::to_string(S::GetNTR(&block, reg)) + " ";
        }
        return s;
    };
    const std::string before = snapshot();
    S::SetStatusBit(&block, Korvex::StatusBitRowCount, 1, 0);
    S::SetStatusBit(&block, 0xFFFFFFFFu, 1, 0);
    S::SetInstrumentStatusBit(1000, 1, 0);
    S::SetStatusBitAllSessions(68, 1, 0);
    std::uint16_t value = 0x1234;
    S::SetEnable(&block, Korvex::StatusRegisterCount, value, 0);
    EXPECT_EQ(value, 0x1234);
    S::SetPTR(&block, 7, 1);
    S::SetNTR(&block, 100, 1);
    S::ClearEvent(&block, 7);
    EXPECT_EQ(S::GetEnable(&block, 7), 0);
    EXPECT_EQ(S::ReadEvent(&block, 7), 0);
    EXPECT_EQ(S::ReadCondition(&block, 7), 0);
    EXPECT_EQ(S::ReadAndClearEvent(&block, 0xFFFFFFFFu), 0);
    EXPECT_EQ(snapshot(), before);
    EXPECT_EQ(S::ReadEvent(nullptr, 1), 0);
    S::PostError(nullptr, 12, 0);
}

}  // namespace
