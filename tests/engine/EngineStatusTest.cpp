#include <gtest/gtest.h>

#include <cstring>
#include <set>
#include <string>

#include "engine/status/EngineStatus.h"

namespace {

struct RowRange {
    std::uint32_t code;
    unsigned first;
    unsigned last;
};

// Which rows publish which code.
const RowRange kRanges[] = {
    {0x54300, 0x00, 0x00}, {0x54301, 0x01, 0x01}, {0x5430F, 0x02, 0x02}, {0x54318, 0x03, 0x03},
    {0x5430F, 0x04, 0x05}, {0x54306, 0x06, 0x06}, {0x5430F, 0x07, 0x0F}, {0x54318, 0x10, 0x10},
    {0x54311, 0x11, 0x11}, {0x54312, 0x12, 0x12}, {0x5431F, 0x13, 0x16}, {0x54317, 0x17, 0x17},
    {0x54318, 0x18, 0x18}, {0x5431F, 0x19, 0x1F}, {0x54320, 0x20, 0x20}, {0x5432F, 0x21, 0x22},
    {0x54323, 0x23, 0x23}, {0x5432F, 0x24, 0x2F}, {0x54330, 0x30, 0x30}, {0x54331, 0x31, 0x31},
    {0x54332, 0x32, 0x32}, {0x54333, 0x33, 0x33}, {0x54334, 0x34, 0x34}, {0x54335, 0x35, 0x35},
    {0x54336, 0x36, 0x36}, {0x54337, 0x37, 0x37}, {0x54338, 0x38, 0x38}, {0x5433F, 0x39, 0x3F},
    {0x5434F, 0x40, 0x41}, {0x54342, 0x42, 0x42}, {0x54343, 0x43, 0x43}, {0x54344, 0x44, 0x44},
    {0x5434F, 0x45, 0x45}, {0x54346, 0x46, 0x46}, {0x5434F, 0x47, 0x4F}, {0x54350, 0x50, 0x50},
    {0x5435F, 0x51, 0x51}, {0x54352, 0x52, 0x52}, {0x5435F, 0x53, 0x55}, {0x54356, 0x56, 0x56},
    {0x54357, 0x57, 0x57}, {0x5435F, 0x58, 0x5F}, {0x5436F, 0x60, 0x61}, {0x54362, 0x62, 0x62},
    {0x54363, 0x63, 0x63}, {0x54364, 0x64, 0x64}, {0x54365, 0x65, 0x65}, {0x54366, 0x66, 0x66},
    {0x5436F, 0x67, 0x6F}, {0x54312, 0x70, 0x7F}, {0x5438F, 0x80, 0x8F}, {0x5439F, 0x90, 0x92},
    {0x54393, 0x93, 0x93}, {0x54394, 0x94, 0x94}, {0x5439F, 0x95, 0x9F}, {0x543AF, 0xA0, 0xAF},
    {0x543FE, 0xB0, 0xEF}, {0x543F0, 0xF0, 0xF0}, {0x543F1, 0xF1, 0xF1}, {0x543FE, 0xF2, 0xFE},
    {0x543FF, 0xFF, 0xFF},
};

TEST(engine_status, EveryRowHoldsItsCode) {
    unsigned next = 0;
    for (const RowRange& range : kRanges) {
        ASSERT_EQ(range.first, next) << "rows must be covered in order";
        for (unsigned row = range.first; row <= range.last; ++row) {
            EXPECT_EQ(kStatusTable[row].code, range.code) << "row 0x" << std::hex << row;
        }
        next = range.last + 1;
    }
    EXPECT_EQ(next, 256u);
}

TEST(engine_status, FortySevenCodesPublishAsThemselves) {
    std::set<std::uint32_t> codes;
    for (const StatusTableRow& row : kStatusTable) {
        codes.insert(row.code);
    }
    EXPECT_EQ(codes.size(), 47u);
    for (std::uint32_t code : codes) {
        EXPECT_EQ(publish(code), code) << std::hex << code;
        EXPECT_GE(code, 0x54300u);
        EXPECT_LE(code, 0x543FFu);
    }
}

TEST(engine_status, EdgeList) {
    EXPECT_EQ(publish(0), 0u);
    EXPECT_EQ(publish(ENGINE_STATUS_SESSION_NOT_FOUND), 0x54318u);
    EXPECT_EQ(publish(ENGINE_STATUS_SETTING_OUT_OF_RANGE), 0x54312u);
    EXPECT_EQ(publish(ENGINE_STATUS_EVENT_QUEUE_FULL), 0x5435Fu);
    EXPECT_EQ(publish(ENGINE_STATUS_NULL_POINTER), 0x5434Fu);
    EXPECT_EQ(publish(ENGINE_STATUS_EVENT_INDEX_INVALID), 0x5434Fu);
    EXPECT_EQ(publish(5), ZODEVICE_STATUS_HARDWARE_ERROR);
    EXPECT_EQ(publish(7), ZODEVICE_STATUS_HARDWARE_ERROR);
    EXPECT_EQ(publish(8), ZODEVICE_STATUS_HARDWARE_ERROR);
    EXPECT_EQ(publish(6), ZODEVICE_STATUS_HARDWARE_ALREADY_IN_USE);
    EXPECT_EQ(publish(0x543B4), ZODEVICE_STATUS_UNKNOWN);
    // Only the low byte selects the row.
    EXPECT_EQ(publish(0x12345606), ZODEVICE_STATUS_HARDWARE_ALREADY_IN_USE);
    EXPECT_EQ(publish(0x100), ZODEVICE_STATUS_HARDWARE_NOT_FOUND);
}

TEST(engine_status, Texts) {
    EXPECT_STREQ(statusText(0), "");
    EXPECT_STREQ(statusText(ZODEVICE_STATUS_HARDWARE_NOT_FOUND),
                 "ZODEVICE_STATUS_HARDWARE_NOT_FOUND: The specified hardware was not found.");
    EXPECT_STREQ(statusText(ZODEVICE_STATUS_INTERNAL_INCOMPATIBILITY),
                 "ZODEVICE_STATUS_INTERNAL_INCOMPATIBILITY: The versions of the internal "
                 "ZO-Zevodo components are incompatible with each other.");
    EXPECT_STREQ(statusText(ZODEVICE_STATUS_MEP_ERROR),
                 "ZODEVICE_STATUS_MEP_ERROR: There was a Message Exchange Protocol error.");
    EXPECT_STREQ(statusText(ZODEVICE_STATUS_RELAXED_MODE_ALREADY_DISABLED),
                 "ZODEVICE_STATUS_RELAXED_MODE_ALREADY_DISABLED: Relaxed mode output queue rules "
                 "were already disabled.");
    EXPECT_STREQ(statusText(ZODEVICE_STATUS_DRIVER_FAULT),
                 "ZODEVICE_STATUS_DRIVER_FAULT: There was a driver error.");
    // A folded engine status reads as the code it publishes.
    EXPECT_STREQ(statusText(ENGINE_STATUS_EVENT_QUEUE_FULL),
                 "ZODEVICE_STATUS_EVENT_ERROR: There was an event error.");

    // Every row: "ZODEVICE_STATUS_<name>: <sentence>." and rows of one code share one text.
    for (unsigned row = 0; row < 256; ++row) {
        const std::string text = kStatusTable[row].text;
        ASSERT_EQ(text.rfind("ZODEVICE_STATUS_", 0), 0u) << row;
        const std::size_t colon = text.find(": ");
        ASSERT_NE(colon, std::string::npos) << row;
        EXPECT_EQ(text.back(), '.') << row;
        const StatusTableRow& own = kStatusTable[kStatusTable[row].code & 0xFF];
        EXPECT_STREQ(kStatusTable[row].text, own.text) << row;
    }
}

}  // namespace
