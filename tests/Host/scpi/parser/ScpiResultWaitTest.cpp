// A FETC? waiting for the buffer of a measurement under way holds the one parser thread: a
// device clear of its session, or the end of the session, ends that wait. The measurement a
// cleared MEAS? started runs on, and *OPC, *OPC? and *WAI wait for its end.
#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

#include "Host/acquisition/AcqBufferPool.h"
#include "Host/scpi/handlers/MeasurementCommands.h"
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

// A measurement that runs from its initiation until End() (or an abort), and the probe
// services of a MEAS? with one probe.
class MeasurementUntilEnded : public CAcquisitionSeam {
public:
    bool TriggerActive() override { return active.load(); }
    bool WaitForTriggerIdle(std::chrono::milliseconds limit) override
    {
        std::unique_lock<std::mutex> hold(mutex);
        return idle.wait_for(hold, limit, [this] { return !active.load(); });
    }
    bool SystemUp() override { return true; }
    int InitiateTrigger(CKorvexScpiStatus*, std::vector<CKorvexChannel>&, double) override
    {
        active.store(true);
        return 0;
    }
    int AbortTrigger(int) override
    {
        End();
        return 0;
    }
    void End()
    {
        {
            std::lock_guard<std::mutex> hold(mutex);
            active.store(false);
        }
        idle.notify_all();
        AcqBufferPool().WakeReader();
    }

    std::atomic<bool> active{false};
    std::mutex mutex;
    std::condition_variable idle;
};

int OneProbe(std::vector<CKorvexChannel>& channels)
{
    CKorvexChannel probe;
    probe.AddLevel(1);
    channels.assign(1, probe);
    return 0;
}
int Selected(const std::vector<CKorvexChannel>&) { return 0; }
const MeasurementProbeServices OneProbeServices = {OneProbe, Selected};

class ClearedMeasureTest : public ParserFixture {
protected:
    void SetUp() override
    {
        ParserFixture::SetUp();
        AcqBufferPool().Reset();
        SetMeasurementProbeServices(&OneProbeServices);
        CAcquisitionSeam::Install(&seam);
    }

    void TearDown() override
    {
        seam.End();
        CAcquisitionSeam::Install(nullptr);
        SetMeasurementProbeServices(nullptr);
        ParserFixture::TearDown();
    }

    // Whether host has more than `before` responses within limitMs.
    bool Answered(std::size_t before, int limitMs)
    {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(limitMs);
        while (host->Responses().size() <= before) {
            if (std::chrono::steady_clock::now() > deadline) return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        return true;
    }

    // A MEAS? whose measurement runs, cut by a device clear of its session; returns once
    // that message has ended.
    void ClearedMeasure()
    {
        const int ended = host->InputDoneCount() + 1;
        parser->PostMessage("MEAS:FLUX?", host.get());
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (!seam.active.load() && std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        ASSERT_TRUE(seam.active.load());
        host->FireDeviceClear();
        ASSERT_TRUE(host->WaitInputDone(ended, 10000));
    }

    MeasurementUntilEnded seam;
};

// Each message is answered only once the measurement has ended, and without error: the
// setting after *WAI is not refused as busy.
TEST_F(ClearedMeasureTest, OperationCompleteAndWaitWaitForItsMeasurement)
{
    const struct {
        const char* message;
        const char* reply;
    } cases[] = {
        {"*OPC?", "1\n"},
        {"*WAI;:CONF:POIN 20;:CONF:POIN?", "20\n"},
        {"*OPC;*ESR?", "1\n"},
    };
    for (const auto& c : cases) {
        ASSERT_NO_FATAL_FAILURE(ClearedMeasure());
        const std::size_t before = host->Responses().size();
        parser->PostMessage(c.message, host.get());
        EXPECT_FALSE(Answered(before, 300)) << c.message;
        seam.End();
        ASSERT_TRUE(Answered(before, 5000)) << c.message;
        EXPECT_EQ(host->Responses().back(), c.reply) << c.message;
        EXPECT_EQ(host->NextError(), "0,No error") << c.message;
    }
}

// A clear of the waiting session ends the wait of its *OPC?, which answers nothing.
TEST_F(ClearedMeasureTest, DeviceClearEndsTheWaitOfOperationComplete)
{
    ASSERT_NO_FATAL_FAILURE(ClearedMeasure());
    const std::size_t before = host->Responses().size();
    const int ended = host->InputDoneCount() + 1;
    parser->PostMessage("*OPC?", host.get());
    EXPECT_FALSE(Answered(before, 300));
    host->FireDeviceClear();
    ASSERT_TRUE(host->WaitInputDone(ended, 5000));
    EXPECT_EQ(host->Exchange("*ESE?", 5000), "0\n");
    EXPECT_TRUE(seam.active.load());
    EXPECT_EQ(host->Responses().size(), before + 1);
}

// A measurement armed by INIT ends with its triggers, not by itself: *OPC? does not wait for
// it, also after a cleared MEAS?.
TEST_F(ClearedMeasureTest, ArmedMeasurementIsNotWaitedFor)
{
    ASSERT_NO_FATAL_FAILURE(ClearedMeasure());
    seam.End();
    ASSERT_EQ(host->Exchange("INIT"), "");
    ASSERT_TRUE(seam.active.load());
    EXPECT_EQ(host->Exchange("*OPC?", 5000), "1\n");
    EXPECT_EQ(host->NextError(), "0,No error");
}

}  // namespace
}  // namespace Korvex::test
