// A FETC? waiting for the buffer of a measurement under way holds the one parser thread: a
// device clear of its session, or the end of the session, ends that wait.
#include <functional>
#include <memory>
#include <thread>

#include "Host/acquisition/AcqBufferPool.h"
#include "Host/scpi/parser/ParserFixture.h"

namespace Korvex::test {
namespace {

class MeasurementUnderWay : public CAcquisitionSeam {
public:
    bool TriggerActive() override { return true; }
    bool SystemUp() override { return true; }
};

class ScpiResultWaitTest : public ParserFixture {
protected:
    void SetUp() override
    {
        ParserFixture::SetUp();
        AcqBufferPool().Reset();
        CAcquisitionSeam::Install(&seam);
    }

    void TearDown() override
    {
        CAcquisitionSeam::Install(nullptr);  // a wait left over ends with the measurement
        ParserFixture::TearDown();
    }

    // Posts FETC? for waiter and *ESE? for the fixture's host; true when *ESE? waits behind
    // FETC? until end() and is answered then.
    bool EndsTheWait(CTestHost* waiter, const std::function<void()>& end)
    {
        parser->PostMessage("FETC?", waiter);
        const int target = host->InputDoneCount() + 1;
        parser->PostMessage("*ESE?", host.get());
        const bool waited = !host->WaitInputDone(target, 300);
        end();
        return host->WaitInputDone(target, 2000) && waited && host->Responses().back() == "0\n";
    }

    MeasurementUnderWay seam;
};

TEST_F(ScpiResultWaitTest, DeviceClearEndsTheWaitOfItsSession)
{
    CTestHost waiter(parser.get());
    ClearQueue(waiter);
    // Twice: the wait ended for the cleared message only.
    for (int round = 0; round < 2; ++round)
        ASSERT_TRUE(EndsTheWait(&waiter, [&] { waiter.FireDeviceClear(); })) << round;
    EXPECT_TRUE(waiter.Responses().empty());
    EXPECT_EQ(waiter.NextError(), "0,No error");
    EXPECT_EQ(waiter.Exchange("*ESE?"), "0\n");
}

TEST_F(ScpiResultWaitTest, EndOfTheSessionEndsTheWait)
{
    auto* waiter = new CTestHost(parser.get());
    ASSERT_TRUE(EndsTheWait(waiter, [waiter] { std::thread([waiter] { delete waiter; }).join(); }));
}

}  // namespace
}  // namespace Korvex::test
