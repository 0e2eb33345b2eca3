#include "Host/scpi/status/StatusTables.h"

#include <gtest/gtest.h>

#include <cstring>
#include <iterator>
#include <set>

using namespace Korvex;

namespace {

TEST(ScpiStatusTables, Counts) {
    EXPECT_EQ(std::size(StatusBitTable), 68u);
    EXPECT_EQ(std::size(SCPIErrorTable), 133u);
    EXPECT_EQ(std::size(StatusSummaryLinkTable), 6u);
}

TEST(ScpiStatusTables, StatusBitRows) {
    EXPECT_EQ(StatusBitTable[0].mask, 0);
    EXPECT_EQ(StatusBitTable[3].mask, 0x40);  // service-request mask
    EXPECT_EQ(StatusBitTable[1].mask, 0x10);
    EXPECT_EQ(StatusBitTable[4].mask, 0x04);
    EXPECT_EQ(StatusBitTable[62].reg, eRegOperationBit11);
    EXPECT_EQ(StatusBitTable[62].mask, 0x7FFF);
    EXPECT_EQ(StatusBitTable[64].mask, 0x8);
    // Pulse bits: standard event 0x01-0x40, OPER 0x100/0x200, QUES 0x400, QUES:BIT12 0x4,
    // every OPER:BIT11 bit, OPER:BIT12 above 0x1.
    std::set<std::uint32_t> pulse = {7, 8, 9, 10, 11, 12, 13, 23, 24, 39, 46};
    for (std::uint32_t row = 47; row <= 62; ++row) pulse.insert(row);
    for (std::uint32_t row = 64; row <= 67; ++row) pulse.insert(row);
    std::set<std::uint32_t> local = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 12, 13, 16, 22, 27, 28,
                                     29, 30, 31, 32, 33, 35, 36, 37, 39, 42, 43};
    for (std::uint32_t row = 0; row < StatusBitRowCount; ++row) {
        EXPECT_EQ(StatusBitTable[row].pulse != 0, pulse.count(row) == 1) << row;
        EXPECT_EQ(StatusBitTable[row].allSessions != 0, local.count(row) == 0) << row;
        EXPECT_LT(StatusBitTable[row].reg, StatusRegisterCount) << row;
        EXPECT_EQ(StatusBitTable[row].mask & 0x8000, 0) << row;
    }
}

TEST(ScpiStatusTables, ErrorRowsByRange) {
    const std::set<std::uint32_t> shared = {41,  42,  44,  45,  46,  47,  48,  49,  50,  51,
                                            52,  53,  54,  55,  56,  57,  58,  59,  60,  62,
                                            63,  64,  65,  66,  67,  68,  69,  70,  71,  72,
                                            96,  97,  98,  102, 103, 105, 112, 118, 127, 128,
                                            129, 130, 132};
    for (std::uint32_t row = 0; row < SCPIErrorRowCount; ++row) {
        std::uint32_t bit = 0;
        if (row >= 1 && row <= 40) bit = 12;
        else if (row >= 41 && row <= 95) bit = 11;
        else if ((row >= 96 && row <= 112) || row >= 122) bit = 10;
        else if (row >= 113 && row <= 117) bit = 9;
        else if (row == 118) bit = 14;
        else if (row == 119) bit = 13;
        else if (row == 120) bit = 8;
        else if (row == 121) bit = 7;
        EXPECT_EQ(SCPIErrorTable[row].statusBitRow, bit) << row;
        EXPECT_EQ(SCPIErrorTable[row].allSessions != 0, shared.count(row) == 1) << row;
        // Standard errors are negative and ascend; the instrument's own are 101-105, 200-205.
        if (row >= 2 && row <= 121) {
            EXPECT_LT(SCPIErrorTable[row].code, SCPIErrorTable[row - 1].code) << row;
        }
        ASSERT_NE(SCPIErrorTable[row].text, nullptr);
        EXPECT_GT(std::strlen(SCPIErrorTable[row].text), 0u) << row;
    }
}

TEST(ScpiStatusTables, ExactCodesAndTexts) {
    struct {
        std::uint32_t row;
        std::int16_t code;
        const char* text;
    } const expected[] = {
        {0, 0, "No error"},
        {3, -102, "Syntax error"},
        {12, -113, "Undefined header"},
        {43, -202, "Settings lost due to rtl"},
        {53, -222, "Data out of range"},
        {73, -260, "Expression error"},
        {99, -312, "PUD memory lost"},
        {101, -314, "Save/recall memory lost"},
        {107, -350, "Queue overflow"},
        {117, -440, "Query UNTERMINATED after indefinite response"},
        {121, -800, "Operation complete"},
        {122, 101, "Invalid value in list"},
        {126, 105, "Numeric suffix invalid"},
        {127, 200, "Firmware error"},
        {130, 203, "Invalid Channel List"},
        {132, 205, "Topology Changed"},
    };
    for (const auto& e : expected) {
        EXPECT_EQ(SCPIErrorTable[e.row].code, e.code) << e.row;
        EXPECT_STREQ(SCPIErrorTable[e.row].text, e.text) << e.row;
    }
}

TEST(ScpiStatusTables, SummaryLinksInEvaluationOrder) {
    const StatusSummaryLink expected[] = {
        {eRegOperationBit11, 25}, {eRegOperationBit12, 26}, {eRegQuestionableBit12, 41},
        {eRegQuestionable, 5},    {eRegOperation, 6},       {eRegStandardEvent, 2},
    };
    for (std::uint32_t i = 0; i < StatusSummaryLinkCount; ++i) {
        EXPECT_EQ(StatusSummaryLinkTable[i].reg, expected[i].reg) << i;
        EXPECT_EQ(StatusSummaryLinkTable[i].row, expected[i].row) << i;
    }
}

TEST(ScpiStatusTables, ParseStatusMap) {
    const std::uint32_t expected[][2] = {
        {0, 0},    {10, 0},    {5, 126},   {14, 126},  {16, 122},  {17, 124},  {210, 124},
        {20, 17},  {30, 123},  {40, 5},    {50, 14},   {60, 29},   {65, 35},   {70, 3},
        {248, 125}, {249, 128}, {250, 117}, {251, 131}, {252, 52}, {253, 53},  {255, 56},
        {254, 127}, {1, 127},  {99, 127},
    };
    for (const auto& e : expected) {
        EXPECT_EQ(ParseStatusErrorRow(static_cast<std::uint8_t>(e[0])), e[1]) << e[0];
    }
}

}  // namespace
