// Host objects that change or die while the parser thread works for them: responses
// cleared by engine callbacks during messages, the session lock of a dead holder, hosts
// deleted by a subscriber on the parser thread or by another thread mid-message, and the
// parser's own destruction with a message running.
#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "Host/scpi/parser/ParserFixture.h"

namespace Korvex::test {
namespace {

using ScpiHostLifecycleTest = ParserFixture;

std::string OtherSignalCount()
{
    const std::int32_t v = CParameterNode::GetInt32Attribute(g_pSignalAveragingCount, eAttrValue);
    return std::to_string(v == 7 ? 8 : 7);
}

TEST_F(ScpiHostLifecycleTest, ResponseClearsRaceRunningMessages)
{
    std::atomic<bool> done{false};
    std::thread engine([&] {
        while (!done.load()) {
            // Device clear would drop the queued messages themselves; response done
            // empties the response text as it does.
            host->FireResponseDone();
            std::this_thread::yield();
        }
    });
    for (int i = 0; i < 300; ++i) {
        const std::string reply = host->Exchange("*ESE?;*SRE?");
        ASSERT_EQ(reply, "0;0\n") << i;
    }
    done = true;
    engine.join();
}

TEST_F(ScpiHostLifecycleTest, SessionLockDiesWithItsHolder)
{
    auto holder = std::make_unique<CTestHost>(parser.get());
    CParameterNode::SetPointerAttribute(g_pParametersLock, eAttrValue, holder.get());
    EXPECT_EQ(host->Exchange("AVER:COUN " + OtherSignalCount()), "");
    EXPECT_EQ(host->NextError(), "-221,Settings conflict");
    holder.reset();
    EXPECT_EQ(CParameterNode::GetPointerAttribute(g_pParametersLock, eAttrValue), nullptr);
    ClearQueue(*host);
    const std::string value = OtherSignalCount();
    EXPECT_EQ(host->Exchange("AVER:COUN " + value), "");
    EXPECT_EQ(host->NextError(), "0,No error");
    EXPECT_EQ(std::to_string(CParameterNode::GetInt32Attribute(g_pSignalAveragingCount, eAttrValue)),
              value);
}

struct Deleter {
    CTestHost* victim = nullptr;
    std::atomic<bool> deleted{false};
    static void Delete(CParameterNode*, int event, void* user)
    {
        auto* d = static_cast<Deleter*>(user);
        if (event != 0 || d->victim == nullptr) return;
        delete d->victim;
        d->victim = nullptr;
        d->deleted = true;
    }
};

TEST_F(ScpiHostLifecycleTest, SubscriberDeletesTheSendingHost)
{
    Deleter deleter;
    CParameterNode::Subscribe(g_pSignalAveragingCount, &Deleter::Delete, &deleter);
    auto* victim = new CTestHost(parser.get());
    deleter.victim = victim;
    // Hold the parser so that both messages are queued before the first one runs.
    Gate gate;
    CParameterNode::Subscribe(g_pMeasurementAveragingCount, &Gate::Hold, &gate);
    const std::int32_t v =
        CParameterNode::GetInt32Attribute(g_pMeasurementAveragingCount, eAttrValue);
    const int held = host->InputDoneCount() + 1;
    parser->PostMessage("AVER2:COUN " + std::to_string(v == 7 ? 8 : 7), host.get());
    ASSERT_TRUE(gate.WaitEntered());
    // The rest of the message and its end touch nothing of the dead host; its queued
    // message is dropped.
    parser->PostMessage("AVER:COUN " + OtherSignalCount() + ";*ESE?;*SRE 8;*SRE?", victim);
    parser->PostMessage("*ESE?", victim);
    gate.Open();
    ASSERT_TRUE(host->WaitInputDone(held, 2000));
    EXPECT_EQ(host->Exchange("*ESE?"), "0\n");
    EXPECT_TRUE(deleter.deleted.load());
    EXPECT_EQ(host->Exchange("*SRE?"), "0\n");
}

TEST_F(ScpiHostLifecycleTest, AnotherThreadDeletesAHostMidMessage)
{
    Gate gate;
    CParameterNode::Subscribe(g_pSignalAveragingCount, &Gate::Hold, &gate);
    auto* victim = new CTestHost(parser.get());
    parser->PostMessage("AVER:COUN " + OtherSignalCount() + ";*ESE?", victim);
    ASSERT_TRUE(gate.WaitEntered());
    parser->PostMessage("*ESE 4", victim);
    const int target = host->InputDoneCount() + 1;
    parser->PostMessage("*SRE?", host.get());
    // The delete returns while the message still runs: it never waits for it.
    std::thread killer([victim] { delete victim; });
    killer.join();
    gate.Open();
    ASSERT_TRUE(host->WaitInputDone(target, 2000));
    EXPECT_EQ(host->Responses().back(), "0\n");
    EXPECT_EQ(host->Exchange("*ESE?"), "0\n");
}

TEST_F(ScpiHostLifecycleTest, ParserDestructorJoinsItsThread)
{
    Gate gate;
    CParameterNode::Subscribe(g_pMeasurementAveragingCount, &Gate::Hold, &gate);
    auto second = std::make_unique<CKorvexHostParser>();
    CTestHost other(nullptr);  // released at the fixture's parser, which outlives it
    const std::int32_t v =
        CParameterNode::GetInt32Attribute(g_pMeasurementAveragingCount, eAttrValue);
    second->PostMessage("AVER2:COUN " + std::to_string(v == 7 ? 8 : 7), &other);
    ASSERT_TRUE(gate.WaitEntered());
    second->PostMessage("*ESE 1", &other);
    second->PostMessage("*ESE 2", &other);
    std::thread stopper([&] { second.reset(); });
    // Give the destructor time to ask the thread to stop before the message ends.
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    gate.Open();
    stopper.join();
    // The running message ended; the queued ones were dropped.
    EXPECT_EQ(other.InputDoneCount(), 1);
    EXPECT_EQ(CKorvexScpiStatus::GetEnable(other.StatusBlock(), eRegStandardEvent), 0);
    // A parser whose thread never ran is destroyed as well.
    std::vector<const char*> none(1, "");
    CKorvexHostParser idle(none.data());
    EXPECT_EQ(idle.Running(), 0);
}

}  // namespace
}  // namespace Korvex::test
