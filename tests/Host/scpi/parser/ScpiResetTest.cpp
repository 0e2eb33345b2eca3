// *RST on the parser thread: the restart is requested and no session's command runs until
// the thread is resumed.
#include <string>

#include "Host/main/KorvexPower.h"
#include "Host/scpi/parser/ParserFixture.h"

namespace Korvex::test {
namespace {

using ScpiResetTest = ParserFixture;

TEST_F(ScpiResetTest, ResetSuspendsEverySession)
{
    std::uint32_t reason = 99;
    while (CKorvexPower::WaitForPowerEvent(reason, 0)) {}
    CTestHost other(parser.get());
    ClearQueue(other);

    const int done = host->InputDoneCount();
    parser->PostMessage("*RST", host.get());
    ASSERT_TRUE(CKorvexPower::WaitForPowerEvent(reason, 30000));
    EXPECT_EQ(reason, 3u);
    for (int i = 0; i < 3000 && kernel::thread_info(parser->GetHandle()).suspend_count == 0; ++i)
        kernel::thread_delay(1);
    ASSERT_GT(kernel::thread_info(parser->GetHandle()).suspend_count, 0);

    // Neither session is served while the restart is pending.
    EXPECT_FALSE(other.Post("*IDN?", 300));
    EXPECT_EQ(host->InputDoneCount(), done);

    // Resumed (the restart never came): the message ends and the queue runs on.
    kernel::thread_resume(parser->GetHandle());
    EXPECT_TRUE(host->WaitInputDone(done + 1, 2000));
    EXPECT_TRUE(other.WaitInputDone(1, 2000));
    EXPECT_EQ(other.Exchange("*OPC?"), "1\n");
}

}  // namespace
}  // namespace Korvex::test
