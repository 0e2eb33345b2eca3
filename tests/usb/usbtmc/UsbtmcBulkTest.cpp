// Bulk transfers: headers that are refused, message sizes around the packet and buffer
// sizes, alignment bytes, Bulk-IN headers, responses split over several requests, TermChar.
#include "UsbtmcFixture.h"

namespace usbtmctest {
namespace {

// The texts of the message callbacks.
std::string Received(Korvex::TestDevice& device)
{
    std::string all;
    for (const auto& callback : device.Callbacks()) {
        if (callback.kind == 'M') {
            all += callback.text;
        }
    }
    return all;
}

struct BadHeaderCase {
    const char* what;
    Bytes header;
};

TEST_F(UsbtmcTest, RefusedHeadersAreDroppedAndTheNextMessageArrives)
{
    Bytes badInverse = UsbtmcHost::Header(1, 7, 4, 1);
    badInverse[2] = 0x00;
    const BadHeaderCase cases[] = {
        {"bTagInverse mismatch", badInverse},
        {"DEV_DEP_MSG_OUT TransferSize 0", UsbtmcHost::Header(1, 8, 0, 1)},
        {"REQUEST TransferSize 0", UsbtmcHost::Header(2, 9, 0)},
        {"MsgID 0", UsbtmcHost::Header(0, 10, 4, 1)},
        {"MsgID 3", UsbtmcHost::Header(3, 11, 4, 1)},
        {"MsgID 126", UsbtmcHost::Header(126, 12, 4, 1)},
        {"MsgID 127", UsbtmcHost::Header(127, 13, 4, 1)},
        {"MsgID 255", UsbtmcHost::Header(255, 14, 4, 1)},
    };
    for (const BadHeaderCase& c : cases) {
        EXPECT_EQ(host.Send(c.header), Result::Ok) << c.what;
        EXPECT_EQ(host.Query("NEXT?"), Answer("NEXT?")) << c.what;
    }
    EXPECT_TRUE(device->WaitCount('M', static_cast<std::uint32_t>(std::size(cases))));
    EXPECT_EQ(device->Count('M'), static_cast<std::uint32_t>(std::size(cases)));
}

TEST_F(UsbtmcTest, FiveBytesArriveWithEndOnlyWhenEomIsSet)
{
    ASSERT_EQ(host.Send(UsbtmcHost::Message(host.NextTag(), "ABCDE", false)), Result::Ok);
    ASSERT_EQ(host.Send(UsbtmcHost::Message(host.NextTag(), "FGHIJ", true)), Result::Ok);
    ASSERT_TRUE(device->WaitCount('M', 1));
    const auto callbacks = device->Callbacks();
    ASSERT_EQ(callbacks.size(), 1u);
    EXPECT_EQ(callbacks[0].value, 0u);  // END
    EXPECT_EQ(callbacks[0].text, "ABCDEFGHIJ");
}

// A host that leaves out the alignment bytes: the transfer's short last packet ends it, and the
// message runs at once, before anything else comes from the host.
TEST_F(UsbtmcTest, AMessageWithoutItsAlignmentBytesRunsAtOnce)
{
    for (std::size_t length : {13u, 50u, 115u}) {  // one packet of 25 and of 62 bytes; two
        SCOPED_TRACE(length);
        const std::string text = std::string(length - 1, 'a') + "?";
        Bytes bytes = UsbtmcHost::Header(1, host.NextTag(), static_cast<std::uint32_t>(length), 1);
        bytes.insert(bytes.end(), text.begin(), text.end());
        const std::uint32_t messages = device->Count('M');
        ASSERT_EQ(host.Send(bytes), Result::Ok);
        ASSERT_TRUE(device->WaitCount('M', messages + 1));
        EXPECT_EQ(device->Callbacks().back().text, text);
        EXPECT_EQ(device->Callbacks().back().value, 0u);  // END
        ASSERT_EQ(host.RequestIn(4096), Result::Ok);
        EXPECT_EQ(host.ReadIn().data, Answer(text));
    }
}

TEST_F(UsbtmcTest, FiftyTwoBytesFillOnePacketWithoutZlpAndAStrayZlpIsIgnored)
{
    const std::string text(51, 'x');
    ASSERT_EQ(host.Send(UsbtmcHost::Message(host.NextTag(), text + "?")), Result::Ok);
    ASSERT_EQ(host.Send(Bytes{}), Result::Ok);
    ASSERT_EQ(host.RequestIn(4096), Result::Ok);
    EXPECT_EQ(host.ReadIn().data, Answer(text + "?"));
    EXPECT_EQ(host.Query("AFTER?"), Answer("AFTER?"));
}

// A host that gives up on a message part-way sends its next transfer: that one's first
// packet is not taken as the rest of the old message, wherever the device's receives stand
// (their room is 4096 data bytes; the header's packet carries 52 of them) and however little
// of the message was left: a packet longer than the rest and its alignment bytes cannot end it.
TEST_F(UsbtmcTest, TheNextQueryAfterAMessageCutShortIsAnsweredWhereverTheCutFalls)
{
    struct CutCase {
        std::uint32_t size;  // the message's TransferSize
        std::uint32_t sent;  // data bytes of the message before the host gave up
        const char* next;    // the query that follows
        const char* where;
    };
    const std::string longQuery = std::string(60, 'L') + "?";  // its first packet is full
    const CutCase cases[] = {
        {100000, 116, "*IDN?", "within the first receive"},
        {100000, 4084, "*IDN?", "12 bytes before the end of a receive: the packet would straddle it"},
        {100000, 4148, "*IDN?", "the next receive has taken 52 bytes"},
        {119, 116, "*IDN?", "3 bytes and 1 alignment byte left, a 20-byte packet next"},
        {130, 116, "*IDN?", "14 bytes and 2 alignment bytes left, a 20-byte packet next"},
        {119, 116, longQuery.c_str(), "3 bytes and 1 alignment byte left, a full packet next"},
        {4149, 4148, "*IDN?", "the last byte of a second receive left"},
    };
    for (const CutCase& c : cases) {
        SCOPED_TRACE(c.where);
        Bytes bytes = UsbtmcHost::Header(1, host.NextTag(), c.size, 1);
        bytes.insert(bytes.end(), c.sent, 'p');
        ASSERT_EQ(host.Send(bytes), Result::Ok);
        EXPECT_EQ(host.Query(c.next), Answer(c.next));
        EXPECT_EQ(host.Query("AFTER?"), Answer("AFTER?"));
    }
}

TEST_F(UsbtmcTest, LongMessagesArriveWholeOnce)
{
    usb.set_timeout_ms(60000);  // 100 000 bytes through the FIFO byte by byte
    for (std::size_t size : {std::size_t{4096}, std::size_t{4097}, std::size_t{100000}}) {
        std::string text(size, ' ');
        for (std::size_t i = 0; i < size; ++i) {
            text[i] = static_cast<char>('a' + (i * 7 + i / 26) % 26);
        }
        const std::size_t before = device->Callbacks().size();
        ASSERT_EQ(host.Write(text), Result::Ok) << size;
        std::string received;
        std::uint32_t ends = 0;
        ASSERT_TRUE(Eventually([&] {
            received.clear();
            ends = 0;
            const auto callbacks = device->Callbacks();
            for (std::size_t i = before; i < callbacks.size(); ++i) {
                received += callbacks[i].text;
                ends += callbacks[i].value == 0 ? 1 : 0;
            }
            return ends != 0;
        }, 60000))
            << size;
        EXPECT_EQ(ends, 1u) << size;
        EXPECT_TRUE(received == text) << size << " bytes, got " << received.size();
    }
}

TEST_F(UsbtmcTest, HeaderAndDataInOnePacket)
{
    Bytes both = UsbtmcHost::Message(host.NextTag(), "ONE?");
    const Bytes request = UsbtmcHost::Request(host.NextTag(), 64);
    both.insert(both.end(), request.begin(), request.end());
    ASSERT_EQ(host.Send(both), Result::Ok);
    const auto in = host.ReadIn();
    EXPECT_EQ(in.data, Answer("ONE?"));
    EXPECT_EQ(in.bTag, host.LastTag());
}

TEST_F(UsbtmcTest, BulkInHeaderCarriesTagSizeAndEom)
{
    ASSERT_EQ(host.Write("HDR?"), Result::Ok);
    ASSERT_EQ(host.RequestIn(100), Result::Ok);
    const auto in = host.ReadIn();
    ASSERT_EQ(in.result, Result::Ok);
    EXPECT_EQ(in.msgId, 2);
    EXPECT_EQ(in.bTag, host.LastTag());
    EXPECT_EQ(in.bTagInverse, static_cast<std::uint8_t>(~host.LastTag()));
    EXPECT_EQ(in.transferSize, Answer("HDR?").size());
    EXPECT_EQ(in.attributes, 0x01);
    EXPECT_EQ(in.length, 12 + Answer("HDR?").size());
}

// A response longer than the request's TransferSize continues under the next request, each
// part under its own tag; nothing goes out without a request.
TEST_F(UsbtmcTest, LongResponseIsSplitOverRequests)
{
    const std::string answer = "0123456789ABCDEFGHIJKLMNO";  // 25 bytes
    AnswerNextWith(answer);
    ASSERT_EQ(host.Write("SPLIT"), Result::Ok);
    ASSERT_TRUE(device->WaitCount('M', 1));
    usb.set_timeout_ms(50);
    EXPECT_EQ(host.ReadIn().result, Result::Timeout);
    usb.set_timeout_ms(kTimeoutMs);
    const struct {
        const char* data;
        std::uint8_t attributes;
    } parts[] = {{"0123456789", 0}, {"ABCDEFGHIJ", 0}, {"KLMNO", 1}};
    for (const auto& part : parts) {
        ASSERT_EQ(host.RequestIn(10), Result::Ok);
        const auto in = host.ReadIn();
        EXPECT_EQ(in.data, part.data);
        EXPECT_EQ(in.transferSize, std::strlen(part.data));
        EXPECT_EQ(in.attributes, part.attributes);
        EXPECT_EQ(in.bTag, host.LastTag());
    }
    ASSERT_TRUE(device->WaitCount('R', 1));
    EXPECT_EQ(host.Query("AFTER?"), Answer("AFTER?"));
}

TEST_F(UsbtmcTest, TermCharCutsTheResponseAndSetsAttributeBit1)
{
    AnswerNextWith("12;34\n56");
    ASSERT_EQ(host.Write("TERM"), Result::Ok);
    ASSERT_TRUE(device->WaitCount('M', 1));
    ASSERT_EQ(host.RequestIn(100, ';'), Result::Ok);
    auto in = host.ReadIn();
    EXPECT_EQ(in.data, "12;");
    EXPECT_EQ(in.attributes, 0x02);
    ASSERT_EQ(host.RequestIn(100), Result::Ok);
    in = host.ReadIn();
    EXPECT_EQ(in.data, "34\n56");
    EXPECT_EQ(in.attributes, 0x01);
}

TEST_F(UsbtmcTest, FiftyTwoByteResponseEndsWithZlp)
{
    const std::string answer(52, 'z');
    AnswerNextWith(answer);
    ASSERT_EQ(host.Write("Z"), Result::Ok);
    ASSERT_EQ(host.RequestIn(4096), Result::Ok);
    // 64 bytes with the header: a full packet, then a zero-length one ends the read.
    const auto in = host.ReadIn(1000);
    EXPECT_EQ(in.result, Result::Ok);
    EXPECT_EQ(in.data, answer);
    EXPECT_EQ(host.Query("AFTER?"), Answer("AFTER?"));
}

TEST_F(UsbtmcTest, RequestWithEomAttributeIsDropped)
{
    ASSERT_EQ(host.Write("DROP?"), Result::Ok);
    ASSERT_EQ(host.Send(UsbtmcHost::Header(2, host.NextTag(), 100, 0x01)), Result::Ok);
    usb.set_timeout_ms(50);
    EXPECT_EQ(host.ReadIn().result, Result::Timeout);
    usb.set_timeout_ms(kTimeoutMs);
    ASSERT_EQ(host.RequestIn(100), Result::Ok);
    EXPECT_EQ(host.ReadIn().data, Answer("DROP?"));
}

TEST_F(UsbtmcTest, ReadWithoutQueryIsUnterminatedAndAbortEndsItWithEmptyHeader)
{
    ASSERT_EQ(host.RequestIn(100), Result::Ok);
    const std::uint8_t tag = host.LastTag();
    ASSERT_TRUE(device->WaitCount('M', 1));
    EXPECT_EQ(device->Callbacks()[0].value, 2u);  // UNTERMINATED
    const Bytes reply = host.InitiateAbortBulkIn(tag);
    EXPECT_EQ(reply, (Bytes{0x01, tag}));
    const auto in = host.ReadIn();
    EXPECT_EQ(in.result, Result::Ok);
    EXPECT_EQ(in.length, 12u);
    EXPECT_EQ(in.transferSize, 0u);
    EXPECT_EQ(in.bTag, tag);
    EXPECT_EQ(CheckAbortBulkInDone(), (Bytes{0x01, 0, 0, 0, 0, 0, 0, 0}));
    EXPECT_EQ(host.Query("AFTER?"), Answer("AFTER?"));
    ASSERT_TRUE(device->WaitCount('M', 2));
    EXPECT_EQ(Received(*device), "AFTER?");
}

} // namespace
} // namespace usbtmctest
