// The main thread on the simulated board: boot conditions, the last power-off file at
// start-up and shut-down, the final actions, and an exception leaving a step.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <mutex>
#include <string>
#include <thread>

#include "Host/acquisition/AcquisitionSeam.h"
#include "Host/acquisition/CKorvexHostAcquisition.h"
#include "Host/main/CommunicationModules.h"
#include "Host/main/KorvexNetwork.h"
#include "Host/main/KorvexNetworkThread.h"
#include "Host/main/MainThread.h"
#include "Host/main/SystemSeams.h"
#include "Host/parameters/Bindings.h"
#include "Host/parameters/Logger.h"
#include "Host/parameters/ParameterNode.h"
#include "Host/scpi/parser/KorvexHostParser.h"
#include "Host/scpi/status/KorvexScpiStatus.h"
#include "board/dsp_devices.h"
#include "engine/TestDevice.h"
#include "engine/api/ZoDeviceApi.h"
#include "platform/soc/BoardActions.h"
#include "platform/kernel/Kernel.h"
#include "support/BoardFixture.h"
#include "Host/main/HostMainFixture.h"

namespace Korvex::test {
namespace {

std::mutex logMutex;
std::string logText;

void CaptureLog(const char* text, std::size_t length)
{
    std::lock_guard<std::mutex> hold(logMutex);
    logText.append(text, length);
}

// No acquisition controller: its thread counts as started, the DSP never does.
class NoAcquisition : public CSystemSeams {
public:
    void StartAcquisition() override {}
    bool WaitForDspStarted(std::uint16_t, std::uint8_t&, std::uint8_t&) override { return false; }
    bool WaitForAcqStarted(std::uint16_t) override { return true; }
};

class ThrowingPeripherals : public NoAcquisition {
public:
    void InitPeripherals() override { throw std::runtime_error("no peripheral bus"); }
};

// The loaded settings with the name service off.
class NoNameService : public NoAcquisition {
public:
    void InitPeripherals() override
    {
        CParameterNode::SetValue(g_pNbnsEnabled, false);
        CSystemSeams::InitPeripherals();
    }
};

class MainThread : public korvex_test::BoardFixture {
protected:
    void SetUp() override
    {
        BoardFixture::SetUp();
        CSystemSeams::Install(&noNameService);
        FakeServers::Install();
        platform::soc::clear_recorded_board_actions();
        {
            std::lock_guard<std::mutex> hold(logMutex);
            logText.clear();
        }
        previousEcho = SetLogEcho(&CaptureLog);
    }

    void TearDown() override
    {
        EXPECT_TRUE(KorvexWaitNetworkIdle(30000));
        if (ParameterTreeRoot != nullptr) {
            CParameterNode::SetValue(g_pEthernetActive, false);
            CParameterNode::SetValue(g_pUsbtmcEnabled, false);
        }
        delete main.Parser();
        zo_device_stop_tcpip_server();
        zo_device_stop_usb_server();
        CSystemSeams::Install(nullptr);
        SetLogEcho(previousEcho);
        for (const SettingsBindingRow& row : SettingsBindingTable) *row.pointer = nullptr;
        BoardFixture::TearDown();
    }

    void Boot(std::uint32_t condition)
    {
        platform::bootmon::set_boot_condition(condition);
        KorvexUnlatchNetwork();  // an earlier shut-down in this process latched it
        KorvexEndShutdown();
        main.StartUp();
        ASSERT_TRUE(KorvexWaitNetworkIdle(30000));
    }

    static std::string Log()
    {
        std::lock_guard<std::mutex> hold(logMutex);
        return logText;
    }

    void WriteLastPowerOff(const std::string& text)
    {
        const std::string folder = state + "/yaffs/settings";
        std::filesystem::create_directories(folder);
        std::ofstream(folder + "/LastPowerOff.xml") << text;
    }

    // Shuts down on a kernel thread of its own: the final action suspends it.
    void ShutDown(std::uint32_t reason)
    {
        struct Call {
            CMainThread* main;
            std::uint32_t reason;
        } call{&main, reason};
        const kernel::handle_t t = kernel::thread_create(
            15,
            [](kernel::addrword_t d) {
                auto* c = reinterpret_cast<Call*>(d);
                c->main->ShutDown(c->reason);
            },
            reinterpret_cast<kernel::addrword_t>(&call), "shut-down test", 8192);
        kernel::thread_resume(t);
        EXPECT_TRUE(Eventually([t] { return kernel::thread_info(t).suspend_count > 0; }, 10000));
        kernel::thread_delete(t);
    }

    bool LastPowerOffExists() const
    {
        return std::filesystem::exists(state + "/yaffs/settings/LastPowerOff.xml");
    }

    NoNameService noNameService;
    CMainThread main;
    LogEcho previousEcho = nullptr;
};

TEST_F(MainThread, ColdBootStartsEverythingAndPowerOffSavesTheSettings)
{
    Boot(0);
    const std::string log = Log();
    EXPECT_NE(log.find("Boot conditions: Cold boot\n"), std::string::npos);
    EXPECT_NE(log.find("Starting the TCP/IP SCPI module\n"), std::string::npos);
    EXPECT_NE(log.find("Starting the USB SCPI module\n"), std::string::npos);
    ASSERT_NE(main.Parser(), nullptr);
    EXPECT_EQ(CParameterNode::GetPointerAttribute(g_pScpiParserObject, eAttrValue), main.Parser());
    EXPECT_NE(CParameterNode::GetPointerAttribute(g_pVxi11Object, eAttrValue), nullptr);
    EXPECT_NE(CParameterNode::GetPointerAttribute(g_pUsbtmcObject, eAttrValue), nullptr);
    EXPECT_FALSE(CParameterNode::GetBooleanAttribute(g_pNbnsActive, eAttrValue));
    // The DSP never started: OPERation:BIT12 bit 0 in every session.
    EXPECT_EQ(CKorvexScpiStatus::ReadCondition(&InstrumentBlock(), eRegOperationBit12) & 1, 1);

    ShutDown(0);
    EXPECT_EQ(CParameterNode::GetPointerAttribute(g_pVxi11Object, eAttrValue), nullptr);
    EXPECT_EQ(CParameterNode::GetPointerAttribute(g_pUsbtmcObject, eAttrValue), nullptr);
    EXPECT_TRUE(LastPowerOffExists());
    EXPECT_EQ(platform::soc::recorded_board_actions(),
              std::vector<platform::soc::BoardAction>{platform::soc::BoardAction::PowerOff});
}

TEST_F(MainThread, WarmBootOnFactoryDeletesTheLastPowerOffFile)
{
    WriteLastPowerOff("<settings/>");
    Boot(3);
    EXPECT_NE(Log().find("Boot conditions: Warm boot on Factory\n"), std::string::npos);
    EXPECT_FALSE(LastPowerOffExists());
    ShutDown(3);  // *RST keeps the file as it is: none
    EXPECT_FALSE(LastPowerOffExists());
    EXPECT_EQ(platform::soc::recorded_board_actions(),
              std::vector<platform::soc::BoardAction>{platform::soc::BoardAction::Reset});
}

// A reply the parser made before a restart (another interface's FETC? that ended just
// before a *RST) leaves before the modules stop, though its host reads it only once the
// shut-down has begun.
TEST_F(MainThread, AReplyMadeBeforeAShutDownStillReachesItsHost)
{
    Boot(0);
    FakeTransport* usb = FakeServers::Factory(kServerKindUsb).Last();
    const auto* host = static_cast<const CKorvexHost*>(NodePointer(g_pUsbtmcObject));
    ASSERT_TRUE(usb != nullptr && host != nullptr);
    ASSERT_TRUE(usb->HostWrite("*ESE 8;*ESE?", true));
    ASSERT_TRUE(Eventually([host] { return host->PendingResponse() != nullptr; }));
    std::string reply;
    std::thread reader([this, usb, &reply] {
        std::uint32_t reason = 0;
        if (Eventually([this] { return main.Parser()->InputClosed(); }))
            reply = usb->HostRead(100, &reason, 5000);
    });
    ShutDown(3);
    reader.join();
    EXPECT_EQ(reply, "8\n");
}

TEST_F(MainThread, UnknownBootConditionIsLoggedAsSuch)
{
    Boot(1);
    EXPECT_NE(Log().find("Boot conditions: Unknown\n"), std::string::npos);
    ShutDown(5);
    EXPECT_TRUE(LastPowerOffExists());
    EXPECT_EQ(platform::soc::recorded_board_actions(),
              std::vector<platform::soc::BoardAction>{platform::soc::BoardAction::FirmwareUpdateMode});
}

// Without seams of a test, start-up meets the firmware's own acquisition controller: its
// thread is not seen started before the start, and is once the start has run it.
TEST_F(MainThread, DefaultSeamsAreTheFirmwaresOwnAcquisitionController)
{
    ASSERT_TRUE(board_register_dsp_devices());  // the controller's pipes and DSP interrupt
    CSystemSeams::Install(nullptr);
    CSystemSeams& seams = CSystemSeams::Instance();
    EXPECT_FALSE(seams.WaitForAcqStarted(0));
    seams.StartAcquisition();
    EXPECT_TRUE(seams.WaitForAcqStarted(30000));
    EXPECT_EQ(CKorvexHostAcquisition::Running(), &CKorvexHostAcquisition::Instance());
}

TEST_F(MainThread, ExceptionLeavingAStepIsLoggedThenPanics)
{
    ThrowingPeripherals seams;
    CSystemSeams::Install(&seams);
    EXPECT_THROW(main.Run(), korvex_test::PanicCalled);
    EXPECT_NE(Log().find("Main thread: exception: no peripheral bus\n"), std::string::npos);
}

}  // namespace
}  // namespace Korvex::test
