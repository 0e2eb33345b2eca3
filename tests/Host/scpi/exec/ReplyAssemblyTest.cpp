// Reply assembly: item separators against the reply mark, formatted numbers, reserved
// bytes, channel blocks and the checked access to channel levels.
#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <vector>

#include "Host/scpi/exec/ParsedCommand.h"
#include "Host/scpi/exec/ReplyAssembly.h"

namespace Korvex {
namespace {

CKorvexChannel Address(std::initializer_list<std::uint8_t> levels)
{
    CKorvexChannel channel;
    for (std::uint8_t level : levels) channel.AddLevel(level);
    return channel;
}

TEST(ScpiRepliesItems, ItemsOfOneQueryAreJoinedByComma)
{
    std::string response;
    ParsedCommand record(&response);
    AppendResponse(record, "1", true);
    AppendResponse(record, "2", true);
    EXPECT_EQ(response, "1,2");
    // The next query of the message: the parser puts ";" and moves the mark; the first
    // item gets no "," of its own.
    response += ";";
    record.mark = static_cast<std::uint32_t>(response.size());
    AppendResponse(record, "3", true);
    AppendResponse(record, "4", false);  // no separator asked
    AppendResponse(record, "5", true);
    EXPECT_EQ(response, "1,2;34,5");
    ParsedCommand none(nullptr);
    AppendResponse(none, "x", true);  // no response text: nothing happens
    EXPECT_EQ(none.status, 0);
}

TEST(ScpiRepliesItems, FormattedNumbers)
{
    std::string response;
    ParsedCommand record(&response);
    AppendFormatted(record, 65535, "%u", true);
    AppendFormatted(record, 32, "%d", true);
    AppendFormatted(record, 7, "%03u", true);
    EXPECT_EQ(response, "65535,32,007");
    EXPECT_EQ(record.status, 0);
    // Longer than 25 characters: cut, not overrun.
    AppendFormatted(record, 1, "%030u", false);
    EXPECT_EQ(response.size(), 12u + 25u);
    // Nothing formatted: 254 ("Firmware error"), the empty text still goes through.
    std::string other = "x";
    ParsedCommand empty(&other);
    AppendFormatted(empty, 1, "", true);
    EXPECT_EQ(empty.status, ParsedInconsistent);
    EXPECT_EQ(other, "x,");
    ParsedCommand nullFormat(&other);
    nullFormat.Latch(ParsedOutOfRange);
    AppendFormatted(nullFormat, 1, nullptr, false);
    EXPECT_EQ(nullFormat.status, ParsedOutOfRange);  // the first status stays
}

TEST(ScpiRepliesItems, ReservedBytes)
{
    std::string response = "#";
    ParsedCommand record(&response);
    record.mark = 0;
    char* bytes = ReserveResponse(record, 3, true);
    ASSERT_NE(bytes, nullptr);
    bytes[0] = 0;
    bytes[1] = '\xff';
    bytes[2] = 'a';
    EXPECT_EQ(response, std::string("#,\0\xff" "a", 5));
    char* none = ReserveResponse(record, 0, false);
    EXPECT_EQ(none, response.data() + response.size());
    record.indefiniteResponse = 1;
    EXPECT_EQ(ReserveResponse(record, 4, true), nullptr);
    EXPECT_EQ(response.size(), 5u);
    ParsedCommand noResponse(nullptr);
    EXPECT_EQ(ReserveResponse(noResponse, 4, true), nullptr);
}

TEST(ScpiRepliesBlocks, ChannelListBlock)
{
    EXPECT_EQ(AppendChannelBlock({}), "#6000000");
    const std::string block = AppendChannelBlock({Address({1, 2}), Address({1, 3})});
    EXPECT_EQ(block, std::string("#6000005\x01\x02\x00\x01\x03", 13));
    const std::string single = AppendChannelBlock({Address({1, 255, 3, 4, 5})});
    EXPECT_EQ(single, std::string("#6000005\x01\xff\x03\x04\x05", 13));
    // An address with no levels still takes its separator.
    const std::string withEmpty = AppendChannelBlock({CKorvexChannel(), Address({1})});
    EXPECT_EQ(withEmpty, std::string("#6000002\x00\x01", 10));
    // The largest list one parameter can hold: 1024 five-level addresses.
    std::vector<CKorvexChannel> many(ParsedCommand::MaxChannelAddresses,
                                     Address({1, 2, 3, 4, 5}));
    const std::string big = AppendChannelBlock(many);
    EXPECT_EQ(big.substr(0, 8), "#6006143");
    EXPECT_EQ(big.size(), 8u + 6143u);
}

TEST(ScpiRepliesChannel, LevelAccessIsChecked)
{
    CKorvexChannel channel = Address({1, 7});
    EXPECT_EQ(channel[1], 7);
    channel[0] = 4;
    EXPECT_EQ(channel.level[0], 4);
    try {
        (void)channel[2];
        FAIL() << "no exception";
    } catch (const std::out_of_range& e) {
        EXPECT_STREQ(e.what(), "Access to a CKorvexChannel out of bounds");
    }
    const CKorvexChannel& constant = channel;
    EXPECT_THROW((void)constant[5], std::out_of_range);
    CKorvexChannel full = Address({1, 2, 3, 4, 5});
    EXPECT_THROW(full.AddLevel(6), std::out_of_range);
    EXPECT_EQ(full.count, 5);
    // A damaged count never reads past the five levels.
    full.count = 200;
    EXPECT_EQ(full[4], 5);
    EXPECT_THROW((void)full[5], std::out_of_range);
    EXPECT_EQ(AppendChannelBlock({full}), std::string("#6000005\x01\x02\x03\x04\x05", 13));
}

}  // namespace
}  // namespace Korvex
