// The communication subscribers: a stop asked for by the VXI-11 host's own message waits for
// its reply, stops on other threads never free a host whose message runs, the network
// restart, and concurrent toggles starting one module at a time; the same own-stop rule for
// the USB module.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <random>
#include <vector>

#include "Host/main/KorvexHostUsb.h"
#include "Host/main/KorvexPower.h"
#include "Host/parameters/FileServices.h"
#include "Host/parameters/SettingsClasses.h"
#include "HostMainFixture.h"
#include "platform/fs/FileSystem.h"
#include "platform/soc/UsbdModel.h"
#include "sim/usb_host/UsbHost.h"
#include "usb/transport/UsbServerBuilder.h"
#include "usb/usbtmc/UsbtmcHost.h"

namespace Korvex::test {
namespace {

using CommunicationModules = HostMainFixture;

TEST_F(CommunicationModules, ModuleRunsOnlyWhileTheInterfaceIsActiveAndEnabled)
{
    EXPECT_EQ(Vxi11Host(), nullptr);
    CParameterNode::SetValue(g_pVxi11Enabled, false);
    CParameterNode::SetValue(g_pEthernetActive, true);
    EXPECT_EQ(Vxi11Host(), nullptr);
    CParameterNode::SetValue(g_pVxi11Enabled, true);
    ASSERT_NE(Vxi11Host(), nullptr);
    CParameterNode::SetValue(g_pEthernetActive, false);
    EXPECT_EQ(Vxi11Host(), nullptr);
    EXPECT_TRUE(NodeBool(g_pVxi11Enabled));  // the setting stays
    EXPECT_EQ(seam.forgotten.load(), 1);
}

// Over VXI-11, switching VXI-11 off lets the reply of the same message leave first.
TEST_F(CommunicationModules, OwnStopWaitsForTheReply)
{
    ASSERT_NE(StartModule(), nullptr);
    EXPECT_EQ(Exchange("SYST:COMM:VXI11 OFF;*OPC?"), "1\n");
    EXPECT_TRUE(Eventually([] { return Vxi11Host() == nullptr; }));
    EXPECT_TRUE(Eventually([&] { return seam.forgotten.load() == 1; }));

    // A plain setting with no reply stops it after the message.
    CParameterNode::SetValue(g_pVxi11Enabled, true);
    ASSERT_NE(StartModule(), nullptr);
    ASSERT_TRUE(transport->HostWrite("SYST:COMM:VXI11 OFF", true));
    EXPECT_TRUE(Eventually([] { return Vxi11Host() == nullptr; }));
}

TEST_F(CommunicationModules, OwnEthernetOffIsRefused)
{
    CKorvexHostEthernet* host = StartModule();
    EXPECT_EQ(Exchange("SYST:COMM:ETH OFF;*OPC?"), "1\n");
    EXPECT_EQ(NextError(host->StatusBlock()), "-221,Settings conflict");
    EXPECT_TRUE(NodeBool(g_pEthernetEnabled));
    EXPECT_EQ(Vxi11Host(), host);
}

// The restart is answered, then the module comes back with a new host; the lock held by
// the old one is gone.
TEST_F(CommunicationModules, EthernetRestartAnswersThenRestartsTheModule)
{
    CKorvexHostEthernet* host = StartModule();
    EXPECT_EQ(Exchange("SYST:LOCK:REQ?"), "1\n");
    EXPECT_EQ(NodePointer(g_pParametersLock), static_cast<void*>(static_cast<CKorvexHost*>(host)));
    EXPECT_EQ(Exchange("SYST:COMM:ETH:REST;*OPC?"), "1\n");
    ASSERT_TRUE(Eventually([&] { return seam.forgotten.load() == 1; }));
    ASSERT_TRUE(KorvexWaitNetworkIdle(30000));
    EXPECT_NE(Vxi11Host(), nullptr);
    EXPECT_EQ(NodePointer(g_pParametersLock), nullptr);
    transport = FakeServers::Factory(kServerKindVxi11).Last();
    EXPECT_EQ(Exchange("SYST:LOCK:REQ?"), "1\n");
}

// Stops on another thread race the host's running messages; ASan watches every touch.
TEST_F(CommunicationModules, StopsOnAnotherThreadNeverFreeARunningHost)
{
    std::mt19937 random(7);
    for (int round = 0; round < 60; ++round) {
        CKorvexHostEthernet* host = StartModule();
        ASSERT_NE(host, nullptr);
        // As the engine delivers them: queued before the device closes.
        parser->PostMessage("*ESE 8;*ESE?;*SRE 4", host);
        parser->PostMessage("SYST:COMM:ETH:IDEN 'k" + std::to_string(round) + "';*OPC?", host);
        std::this_thread::sleep_for(std::chrono::microseconds(random() % 400));
        std::thread stopper([] { CParameterNode::SetValue(g_pEthernetActive, false); });
        stopper.join();
        EXPECT_EQ(Vxi11Host(), nullptr);
        ASSERT_TRUE(Eventually([&] { return seam.forgotten.load() == round + 1; }));
    }
}

// After *RST the parser never resumes; the stop of shut-down must not wait for it, and the
// host is freed only when the parser goes on.
TEST_F(CommunicationModules, StopAfterResetDoesNotWaitForTheParser)
{
    std::uint32_t reason = 9;
    while (CKorvexPower::WaitForPowerEvent(reason, 0)) {
    }
    CKorvexHostEthernet* host = StartModule();
    ASSERT_TRUE(transport->HostWrite("*RST", true));
    ASSERT_TRUE(CKorvexPower::WaitForPowerEvent(reason, 30000));
    EXPECT_EQ(reason, 3u);
    ASSERT_TRUE(Eventually([&] { return kernel::thread_info(parser->GetHandle()).suspend_count > 0; }));

    const auto start = std::chrono::steady_clock::now();
    CParameterNode::SetValue(g_pEthernetActive, false);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
    EXPECT_EQ(Vxi11Host(), nullptr);
    EXPECT_EQ(seam.forgotten.load(), 0);  // handed to the parser, which is held
    (void)host;

    kernel::thread_resume(parser->GetHandle());
    EXPECT_TRUE(Eventually([&] { return seam.forgotten.load() == 1; }));
}

// Concurrent toggles: every start comes from an absent module, every stop from a running one.
TEST_F(CommunicationModules, ConcurrentTogglesStartOneModuleAtATime)
{
    struct Transitions {
        std::mutex m;
        std::vector<bool> running;  // value after each change of vxi11_object
        static void Record(CParameterNode* node, int event, void* user)
        {
            if (event != 0) return;
            auto* t = static_cast<Transitions*>(user);
            std::lock_guard<std::mutex> hold(t->m);
            t->running.push_back(NodePointer(node) != nullptr);
        }
    } transitions;
    CParameterNode::SetValue(g_pEthernetActive, true);
    CParameterNode::Subscribe(g_pVxi11Object, &Transitions::Record, &transitions);

    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([t] {
            for (int i = 0; i < 200; ++i) CParameterNode::SetValue(g_pVxi11Enabled, ((i + t) & 1) == 0);
        });
    }
    for (std::thread& thread : threads) thread.join();

    std::vector<bool> seen;
    {
        std::lock_guard<std::mutex> hold(transitions.m);
        seen = transitions.running;
    }
    // Stopped while the recorder still lives: it stays subscribed to this tree.
    CParameterNode::SetValue(g_pEthernetActive, false);
    ASSERT_FALSE(seen.empty());
    bool running = true;  // the module ran before the toggles
    int starts = 0;
    for (bool now : seen) {
        ASSERT_NE(now, running) << "a module started twice or stopped twice";
        running = now;
        if (now) ++starts;
    }
    const int stops = static_cast<int>(seen.size()) - starts;
    EXPECT_EQ(seam.forgotten.load(), stops + (running ? 1 : 0));
}

// The USB module on the fake kind-2 transport, with the file systems mounted for settings
// files.
class UsbModule : public HostMainFixture {
protected:
    void SetUp() override
    {
        HostMainFixture::SetUp();
        char folder[] = "/tmp/korvex-usbmodule-XXXXXX";
        ASSERT_NE(mkdtemp(folder), nullptr);
        state = folder;
        platform::fs::init(state, KORVEX_ROMFS_DIR);
        ASSERT_EQ(KorvexMountFileSystems(), 0);
        CParameterNode::Subscribe(g_pUsbtmcEnabled, &KorvexUpdateUsbScpiModule, nullptr);
    }

    void TearDown() override
    {
        CParameterNode::SetValue(g_pUsbtmcEnabled, false);
        std::uint32_t reason = 0;
        while (CKorvexPower::WaitForPowerEvent(reason, 0)) {
        }
        platform::fs::reset();
        HostMainFixture::TearDown();
        std::error_code ec;
        std::filesystem::remove_all(state, ec);
    }

    // Starts the USB module as the main thread does (with the identity the EEPROM gives at
    // start-up); the fake transport of its session.
    CKorvexHostUsb* StartUsb()
    {
        CParameterNode::SetValue(g_pSystemManufacturer, "Korvex Instruments");
        CParameterNode::SetValue(g_pSystemModel, "KX2026");
        CParameterNode::SetValue(g_pUsbtmcEnabled, true);
        KorvexUpdateUsbScpiModule(g_pUsbtmcEnabled, 0, nullptr);
        transport = FakeServers::Factory(kServerKindUsb).Last();
        return UsbHost();
    }

    static CKorvexHostUsb* UsbHost()
    {
        auto* host = static_cast<CKorvexHost*>(NodePointer(g_pUsbtmcObject));
        return host != nullptr ? static_cast<CKorvexHostUsb*>(host) : nullptr;
    }

    std::string state;
};

// A settings file that switches USB off, loaded by a USB message: the reply of that message
// still leaves, then the module stops. SYST:COMM:USBT OFF from USB itself stays refused.
TEST_F(UsbModule, OwnSettingsLoadStopsTheModuleAfterTheReply)
{
    std::uint32_t comm = 0;
    ASSERT_EQ(KorvexFindSettingsClass("COMMunication", comm), 0);
    CParameterNode::SetValue(g_pUsbtmcEnabled, false);
    ASSERT_EQ(KorvexSaveSettings("usboff", static_cast<int>(comm)), 0);

    CKorvexHostUsb* host = StartUsb();
    ASSERT_NE(host, nullptr);
    ASSERT_TRUE(host->Opened());
    EXPECT_EQ(Exchange("SYST:COMM:USBT OFF;*OPC?"), "1\n");
    EXPECT_EQ(NextError(host->StatusBlock()), "-221,Settings conflict");
    EXPECT_EQ(UsbHost(), host);

    EXPECT_EQ(Exchange("MMEM:LOAD 0,\"/yaffs/settings/comm_parms/usboff\";*OPC?"), "1\n");
    EXPECT_TRUE(Eventually([] { return UsbHost() == nullptr; }));
    EXPECT_TRUE(Eventually([&] { return seam.forgotten.load() == 1; }));
    EXPECT_FALSE(NodeBool(g_pUsbtmcEnabled));
}

// The USB module on the real USB stack, switched off and on 50 times over VXI-11 while a USB
// host loops *IDN? (ASan and TSan watch every touch): the switch is answered at once each
// time, the USB host answers between switches, and at the end one host runs and every
// other one went.
TEST_F(UsbModule, TogglesOverVxi11WhileUsbQueries)
{
    platform::soc::usbd().power_on();
    usb_install_server_builder();
    ASSERT_NE(StartModule(), nullptr);
    FakeTransport* vxi11 = transport;
    ASSERT_NE(StartUsb(), nullptr);
    transport = vxi11;

    std::atomic<bool> stop{false};
    std::atomic<int> answers{0};
    std::thread usb([&] {
        sim::UsbHost bus;
        bus.set_timeout_ms(1000);
        usbtmctest::UsbtmcHost tmc(bus);
        while (!stop.load()) {
            if (!bus.device_present() || bus.enumerate() != sim::UsbHost::Result::Ok) {
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
                continue;
            }
            while (!stop.load() && tmc.Query("*IDN?").find("KX2026") != std::string::npos) ++answers;
        }
    });
    for (int round = 0; round < 50; ++round) {
        const int before = answers.load();
        if (round % 10 == 0) {
            EXPECT_TRUE(Eventually([&] { return answers.load() > before; }, 10000)) << round;
        }
        ASSERT_EQ(Exchange("SYST:COMM:USBT OFF;*OPC?", 10000), "1\n") << round;
        EXPECT_EQ(UsbHost(), nullptr);
        ASSERT_EQ(Exchange("SYST:COMM:USBT ON;*OPC?", 10000), "1\n") << round;
        EXPECT_NE(UsbHost(), nullptr);
    }
    stop.store(true);
    usb.join();
    EXPECT_NE(UsbHost(), nullptr);
    EXPECT_TRUE(Eventually([&] { return seam.forgotten.load() == 50; }));
    EXPECT_EQ(platform::soc::usbd().violations(), 0u) << platform::soc::usbd().last_violation();
}

}  // namespace
}  // namespace Korvex::test
