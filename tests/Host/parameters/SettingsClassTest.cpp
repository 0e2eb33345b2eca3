// Settings classes and settings files: the class table, loading a class file into its
// subtree (refused whole when it would remove a bound node), and the savers, which never
// leave a file behind on failure and hold the tree still while they write.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <fstream>
#include <functional>
#include <future>
#include <iterator>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "support/FactoryTree.h"
#include "Host/parameters/Bindings.h"
#include "Host/parameters/Error.h"
#include "Host/parameters/FileServices.h"
#include "Host/parameters/Logger.h"
#include "Host/parameters/ParameterNode.h"
#include "Host/parameters/SettingsClasses.h"
#include "Host/parameters/StartupSettings.h"
#include "platform/kernel/Kernel.h"
#include "Host/peripherals/PeripheralReset.h"
#include "support/BoardFixture.h"
#include "support/ProbeDouble.h"

using namespace Korvex;
namespace fs = platform::fs;

using korvex_test::DropLine;
using korvex_test::Replace;

namespace {

struct Events {
    std::vector<std::string> seen;
    static void Record(CParameterNode* node, int event, void* user) {
        static_cast<Events*>(user)->seen.push_back(node->GetName() + ":" + std::to_string(event));
    }
};



// A booted instrument: factory settings loaded and bound.
class SettingsClass : public korvex_test::BoardFixture {
protected:
    void SetUp() override {
        BoardFixture::SetUp();
        Mount();
        ASSERT_EQ(KorvexLoadStartupSettings(), eOk);
        restarts = RestartRequestCount();
        marker = "---- " + std::to_string(++markers) + " " +
                 ::testing::UnitTest::GetInstance()->current_test_info()->name() + " ----\n";
        Logger().Printf("%s", marker.c_str());
    }
    void TearDown() override {
        ResetPeripheralNodes(g_pPeripherals, true);  // deletes a probe still plugged
        BoardFixture::TearDown();
        for (const SettingsBindingRow& row : SettingsBindingTable) *row.pointer = nullptr;
    }

    unsigned NewRestarts() const { return RestartRequestCount() - restarts; }

    std::string LogSinceSetUp() {
        std::unique_ptr<char[]> text(Logger().GetContents());
        const std::string log(text.get());
        const std::size_t at = log.rfind(marker);
        EXPECT_NE(at, std::string::npos) << "marker fell out of the log ring";
        return at == std::string::npos ? std::string() : log.substr(at + marker.size());
    }

    std::string Read(const std::string& path) {
        std::ifstream in(Host(path), std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), {});
    }
    void Write(const std::string& path, const std::string& text) {
        std::ofstream(Host(path), std::ios::binary | std::ios::trunc) << text;
    }
    bool Exists(const std::string& path) {
        std::uint32_t size = 0;
        return KorvexStatFile(path, size) == eOk;
    }

    // The text of a class file saved from the current tree.
    std::string SavedClass(int id, const std::string& name) {
        EXPECT_EQ(KorvexSaveSettings(name, id), eOk);
        return Read(std::string(SettingsClassTable[id].directory) + "/" + name);
    }

    static std::vector<CParameterNode*> Bindings() {
        std::vector<CParameterNode*> nodes;
        for (const SettingsBindingRow& row : SettingsBindingTable) nodes.push_back(*row.pointer);
        return nodes;
    }

    // A plugged probe: a channel node under peripherals owning its device, and the current
    // probe selected. The peripheral reset deletes the device.
    void PlugProbe() {
        CParameterNode* channel = nullptr;
        ASSERT_EQ(CParameterNode::Create(g_pPeripherals, "1/2", eNodePointer, &channel), eOk);
        delete static_cast<CKorvexPeripheral*>(CParameterNode::GetPointerAttribute(channel, eAttrValue));
        probe = new korvex_test::CProbeDouble;
        CParameterNode::SetValue(channel, static_cast<void*>(probe));
        CParameterNode::SetValue(g_pCurrentProbeObject, static_cast<void*>(probe));
    }
    bool ProbePlugged() {
        CParameterNode* channel = nullptr;
        return CParameterNode::Find(g_pPeripherals, "1/2", &channel) == eOk &&
               CParameterNode::GetPointerAttribute(channel, eAttrValue) == probe &&
               CParameterNode::GetPointerAttribute(g_pCurrentProbeObject, eAttrValue) == probe;
    }

    unsigned restarts = 0;
    korvex_test::CProbeDouble* probe = nullptr;  // owned by its node under peripherals
    Events events;  // outlives the tree: subscriptions are never taken back
    std::string marker;
    static inline unsigned markers = 0;
};

// ---- the class table ----

TEST_F(SettingsClass, FindMatchesTheScpiNameExactly) {
    const char* names[] = {"ALL", "COMMunication", "MEASure", "TRIGger", "REFClk", "UNITs"};
    for (std::uint32_t i = 0; i < 6; ++i) {
        std::uint32_t id = 99;
        EXPECT_EQ(KorvexFindSettingsClass(names[i], id), eOk) << names[i];
        EXPECT_EQ(id, i);
    }
    for (const char* wrong : {"MEAS", "measure", "ALL ", "", "COMM", "UNITS"}) {
        std::uint32_t id = 99;
        EXPECT_EQ(KorvexFindSettingsClass(wrong, id), eNoData) << wrong;
        EXPECT_EQ(id, 99u);
    }
}

// ---- loading ----

TEST_F(SettingsClass, LoadTakesTheClassFromTheDirectory) {
    SavedClass(1, "c1.xml");
    SavedClass(0, "a1.xml");
    SavedClass(2, "m1.xml");
    const std::string comm = Read("/yaffs/settings/comm_parms/c1.xml");
    ASSERT_EQ(comm.rfind("<Branch name=\"comm_parms\">\n", 0), 0u);

    EXPECT_EQ(KorvexLoadSettings("/yaffs/settings/comm_parms/c1.xml"), eOk);
    EXPECT_EQ(NewRestarts(), 1u);
    EXPECT_EQ(KorvexLoadSettings("/yaffs/settings/a1.xml"), eOk);
    EXPECT_EQ(NewRestarts(), 2u);
    EXPECT_EQ(KorvexLoadSettings("/yaffs/settings/measure_parms/m1.xml"), eOk);
    EXPECT_EQ(NewRestarts(), 2u);

    // A name that begins with a class directory's name belongs to that class.
    Write("/yaffs/settings/comm_parms_old.xml", comm);
    EXPECT_EQ(KorvexLoadSettings("/yaffs/settings/comm_parms_old.xml"), eOk);
    EXPECT_EQ(NewRestarts(), 3u);

    ASSERT_EQ(KorvexMakePath("/yaffs/user", KorvexDirectoryMode), 0);
    Write("/yaffs/user/c1.xml", comm);
    EXPECT_EQ(KorvexLoadSettings("/yaffs/user/c1.xml"), ePathTrailingSlash);
    EXPECT_EQ(KorvexLoadSettings("/yaffs/settings/comm_parms/missing.xml"), eCannotOpenFile);
    EXPECT_EQ(NewRestarts(), 3u);

    const std::string log = LogSinceSetUp();
    for (const char* line :
         {"KorvexLoadSettings /yaffs/settings/comm_parms/c1.xml\n",
          "File type 1 located in /yaffs/settings/comm_parms. Requires restart: Yes\n",
          "File type 0 located in /yaffs/settings. Requires restart: Yes\n",
          "File type 2 located in /yaffs/settings/measure_parms. Requires restart: No\n",
          "KorvexLoadSettings /yaffs/settings/comm_parms_old.xml\n"
          "File type 1 located in /yaffs/settings/comm_parms. Requires restart: Yes\n",
          "KorvexLoadSettings /yaffs/user/c1.xml\n"})
        EXPECT_NE(log.find(line), std::string::npos) << line;
}

// A loaded value that its node would refuse from a host is not applied; the rest is.
TEST_F(SettingsClass, LoadKeepsValuesTheNodesLimitsRefuse) {
    std::string text = SavedClass(2, "m.xml");
    text = Replace(text, "<Int32 name=\"count\" value=\"16\"", "<Int32 name=\"count\" value=\"0\"");
    text = Replace(text, "<Float64 name=\"low\" value=\"0.04\"", "<Float64 name=\"low\" value=\"0.5\"");
    Write("/yaffs/settings/measure_parms/m.xml", text);

    EXPECT_EQ(KorvexLoadSettings("/yaffs/settings/measure_parms/m.xml"), eOk);
    EXPECT_EQ(CParameterNode::GetInt32Attribute(g_pSignalAveragingCount, eAttrValue), 16);
    EXPECT_DOUBLE_EQ(CParameterNode::GetFloat64Attribute(g_pSearchLow, eAttrValue), 0.5);
    const std::string log = LogSinceSetUp();
    const std::string line = "measure_parms/averaging/signal/count out of range; value kept\n";
    const std::size_t at = log.find(line);
    EXPECT_NE(at, std::string::npos) << log;
    EXPECT_EQ(log.find(line, at + 1), std::string::npos);
}

// A loaded value that is no number, or overflows, is out of range too: the node keeps its
// value, the path is logged, and the element's other attributes still apply.
TEST_F(SettingsClass, LoadKeepsValuesThatAreNoNumbers) {
    for (const char* bad : {"99999999999999999999", "-1e999", "nan", "0x10", "", "7abc"}) {
        SCOPED_TRACE(bad);
        std::string text = SavedClass(2, "u.xml");
        text = Replace(text, "<Int32 name=\"count\" value=\"16\" minimum=\"1\"",
                       std::string("<Int32 name=\"count\" value=\"") + bad + "\" minimum=\"2\"");
        text = Replace(text, "<Float64 name=\"low\" value=\"0.04\"",
                       std::string("<Float64 name=\"low\" value=\"") + bad + "\"");
        Write("/yaffs/settings/measure_parms/u.xml", text);

        EXPECT_EQ(KorvexLoadSettings("/yaffs/settings/measure_parms/u.xml"), eOk);
        EXPECT_EQ(CParameterNode::GetInt32Attribute(g_pSignalAveragingCount, eAttrValue), 16);
        EXPECT_EQ(CParameterNode::GetInt32Attribute(g_pSignalAveragingCount, eAttrMinimum), 2);
        EXPECT_DOUBLE_EQ(CParameterNode::GetFloat64Attribute(g_pSearchLow, eAttrValue), 0.04);
        const std::string log = LogSinceSetUp();
        EXPECT_NE(log.rfind("measure_parms/averaging/signal/count out of range; value kept\n"),
                  std::string::npos);
        EXPECT_NE(log.rfind("measure_parms/search/low out of range; value kept\n"), std::string::npos);
        CParameterNode::SetInt32Attribute(g_pSignalAveragingCount, eAttrMinimum, 1);
    }
}

TEST_F(SettingsClass, RestartIsRequestedForAllAndCommunicationOnly) {
    const unsigned expected[] = {1, 1, 0, 0, 0, 0};
    for (int id = 0; id < 6; ++id) {
        SCOPED_TRACE(id);
        SavedClass(id, "r.xml");
        const unsigned before = RestartRequestCount();
        EXPECT_EQ(KorvexLoadSettings(std::string(SettingsClassTable[id].directory) + "/r.xml"), eOk);
        EXPECT_EQ(RestartRequestCount() - before, expected[id]);
    }
}

TEST_F(SettingsClass, LoadSetsNamedValuesNotifiesAndRemovesUnnamedNodes) {
    std::string text = SavedClass(3, "t.xml");
    text = Replace(text, "<Int32 name=\"count\" value=\"", "<Int32 name=\"count\" value=\"7");
    Write("/yaffs/settings/trigger_parms/t.xml", text);
    const std::int32_t before = CParameterNode::GetInt32Attribute(g_pTriggerInCount, eAttrValue);
    ASSERT_EQ(CParameterNode::Subscribe(g_pTriggerInCount, &Events::Record, &events), eOk);
    CParameterNode* extra = nullptr;
    ASSERT_EQ(CParameterNode::Create(g_pTriggerParms, "extra", eNodeInt32, &extra), eOk);

    EXPECT_EQ(KorvexLoadSettings("/yaffs/settings/trigger_parms/t.xml"), eOk);
    EXPECT_EQ(CParameterNode::GetInt32Attribute(g_pTriggerInCount, eAttrValue),
              std::stoi("7" + std::to_string(before)));
    EXPECT_EQ(events.seen, (std::vector<std::string>{"count:0"}));
    EXPECT_NE(CParameterNode::Find(g_pTriggerParms, "extra", &extra), eOk);
}

TEST_F(SettingsClass, TextsWithMarkupCharactersSurviveASaveAndLoad) {
    const std::string tricky = "a&b<c>\"d'e &amp; \t]]>";
    CParameterNode::SetValue(g_pEthernetDomain, tricky);
    SavedClass(1, "markup.xml");
    CParameterNode::SetValue(g_pEthernetDomain, "other");
    EXPECT_EQ(KorvexLoadSettings("/yaffs/settings/comm_parms/markup.xml"), eOk);
    EXPECT_EQ(CParameterNode::GetStringAttribute(g_pEthernetDomain, eAttrValue), tricky);
}

TEST_F(SettingsClass, MalformedFileIsRefusedWithoutARestart) {
    for (int id : {0, 1, 2}) {
        SCOPED_TRACE(id);
        std::string text = SavedClass(id, "bad.xml");
        text = text.substr(0, text.size() - 12);
        const std::string path = std::string(SettingsClassTable[id].directory) + "/bad.xml";
        Write(path, text);
        const std::vector<CParameterNode*> bound = Bindings();
        EXPECT_EQ(KorvexLoadSettings(path), eXmlNotWellFormed);
        EXPECT_EQ(Bindings(), bound);
    }
    EXPECT_EQ(NewRestarts(), 0u);
}

// A class file that lacks a bound node of its class would remove a node other code holds:
// it is refused before anything of it is applied.
TEST_F(SettingsClass, FileLackingABoundPathChangesNothing) {
    const struct {
        int id;
        const char* dropped;
        const char* changed;
    } cases[] = {
        {2, "name=\"fstep\"", "<Float64 name=\"low\" value=\""},
        {1, "<String name=\"id\"", "<String name=\"domain\" value=\""},
        {5, "name=\"ppm_ref\"", "<String name=\"selected\" value=\""},
    };
    for (CParameterNode* node : Bindings())
        ASSERT_EQ(CParameterNode::Subscribe(node, &Events::Record, &events), eOk);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.id);
        std::string text = DropLine(SavedClass(c.id, "gap.xml"), c.dropped);
        text = Replace(text, c.changed, std::string(c.changed) + "9");
        const std::string path = std::string(SettingsClassTable[c.id].directory) + "/gap.xml";
        Write(path, text);

        CParameterNode* classRoot = *SettingsClassTable[c.id].subtree;
        const std::vector<CParameterNode*> bound = Bindings();
        const std::string before = SavedClass(c.id, "before.xml");
        events.seen.clear();

        EXPECT_EQ(KorvexLoadSettings(path), eXmlNotWellFormed);
        EXPECT_EQ(*SettingsClassTable[c.id].subtree, classRoot);
        EXPECT_EQ(Bindings(), bound);
        EXPECT_TRUE(events.seen.empty()) << events.seen.front();
        EXPECT_EQ(SavedClass(c.id, "after.xml"), before);
    }
    EXPECT_EQ(NewRestarts(), 0u);
}

TEST_F(SettingsClass, WholeTreeFileOfAnotherVersionIsRefusedBeforeMerging) {
    std::string all = SavedClass(0, "v34.xml");
    all = Replace(all, "<String name=\"parm_file\" value=\"3.5\"", "<String name=\"parm_file\" value=\"3.4\"");
    all = Replace(all, "<Float64 name=\"low\" value=\"", "<Float64 name=\"low\" value=\"9");
    Write("/yaffs/settings/v34.xml", all);
    const double low = CParameterNode::GetFloat64Attribute(g_pSearchLow, eAttrValue);
    PlugProbe();

    EXPECT_EQ(KorvexLoadSettings("/yaffs/settings/v34.xml"), eXmlNotWellFormed);
    EXPECT_EQ(NewRestarts(), 0u);
    EXPECT_EQ(CParameterNode::GetStringAttribute(g_pVersionsParmFile, eAttrValue), "3.5");
    EXPECT_EQ(CParameterNode::GetFloat64Attribute(g_pSearchLow, eAttrValue), low);
    // Refused before the peripherals were touched.
    EXPECT_TRUE(ProbePlugged());

    // The same for a whole-tree file that lacks a bound path.
    Write("/yaffs/settings/gap.xml", DropLine(SavedClass(0, "ok.xml"), "name=\"rf_frequency\""));
    PlugProbe();
    EXPECT_EQ(KorvexLoadSettings("/yaffs/settings/gap.xml"), eXmlNotWellFormed);
    EXPECT_TRUE(ProbePlugged());
    EXPECT_EQ(NewRestarts(), 0u);
}

TEST_F(SettingsClass, WholeTreeLoadResetsThePeripheralsAfterVerification) {
    SavedClass(0, "all.xml");
    PlugProbe();
    ASSERT_EQ(CParameterNode::Subscribe(g_pCurrentProbeObject, &Events::Record, &events), eOk);

    EXPECT_EQ(KorvexLoadSettings("/yaffs/settings/all.xml"), eOk);
    EXPECT_EQ(g_pPeripherals->GetFirstChild(), nullptr);
    EXPECT_EQ(CParameterNode::GetPointerAttribute(g_pCurrentProbeObject, eAttrValue), nullptr);
    EXPECT_EQ(events.seen, (std::vector<std::string>{"object:0"}));
    EXPECT_EQ(NewRestarts(), 1u);

    // A class that does not hold the peripherals leaves them alone on load.
    SavedClass(2, "m.xml");
    PlugProbe();
    EXPECT_EQ(KorvexLoadSettings("/yaffs/settings/measure_parms/m.xml"), eOk);
    EXPECT_TRUE(ProbePlugged());
}

// ---- saving ----

TEST_F(SettingsClass, SaveCreatesTheClassDirectory) {
    ASSERT_FALSE(Exists("/yaffs/settings/trigger_parms"));
    EXPECT_EQ(KorvexSaveSettings("t1.xml", 3), eOk);
    const std::string text = Read("/yaffs/settings/trigger_parms/t1.xml");
    EXPECT_EQ(text.rfind("<Branch name=\"trigger_parms\">\n", 0), 0u);
    EXPECT_EQ(text.substr(text.size() - 10), "</Branch>\n");
    EXPECT_EQ(CParameterNode::CheckXmlFile("/yaffs/settings/trigger_parms/t1.xml"), eOk);

    const std::string log = LogSinceSetUp();
    EXPECT_NE(log.find("Saving parms in /yaffs/settings/trigger_parms/t1.xml\n"
                       "Settings successfully written to yaffs\n"),
              std::string::npos)
        << log;

    EXPECT_EQ(KorvexSaveSettings("x.xml", 6), eNoData);
    EXPECT_EQ(KorvexSaveSettings("x.xml", -1), eNoData);
}

TEST_F(SettingsClass, SaveFailsWhenTheClassDirectoryCannotBeMade) {
    ASSERT_EQ(KorvexWriteTextFile("/yaffs/settings", "not a directory"), eOk);
    EXPECT_EQ(KorvexSaveSettings("t1.xml", 3), eCannotOpenFile);
    EXPECT_EQ(KorvexSaveLastPowerOffSettings(LastPowerOffSettingsPath), eCannotOpenFile);
    EXPECT_EQ(Read("/yaffs/settings"), "not a directory");
}

// A failed save leaves the file of the last good save, byte for byte, and no .tmp.
TEST_F(SettingsClass, FailedSaveKeepsThePreviousFile) {
    const struct {
        const char* what;
        std::function<void()> arm;
    } faults[] = {
        {"full disk", [] { fs::faults().fullDisk = true; }},
        {"EIO mid-write", [] { fs::arm_write_fault_after(200); }},
        {"failed close", [] { fs::arm_close_fault(); }},
        {"truncated at close", [] { fs::faults().truncateAtClose = 100; }},
    };
    const struct {
        const char* what;
        std::string path;
        std::function<int()> save;
    } savers[] = {
        {"class", "/yaffs/settings/measure_parms/m.xml", [] { return KorvexSaveSettings("m.xml", 2); }},
        {"ALL", "/yaffs/settings/a.xml", [] { return KorvexSaveSettings("a.xml", 0); }},
        {"power off", LastPowerOffSettingsPath,
         [] { return KorvexSaveLastPowerOffSettings(LastPowerOffSettingsPath); }},
    };
    for (const auto& saver : savers) {
        for (const auto& fault : faults) {
            SCOPED_TRACE(std::string(saver.what) + ", " + fault.what);
            ASSERT_EQ(saver.save(), eOk);  // an older file of the same name
            const std::string before = Read(saver.path);
            ASSERT_FALSE(before.empty());
            fault.arm();
            EXPECT_EQ(saver.save(), eWriteFailed);
            fs::faults().fullDisk = false;
            fs::clear_faults();
            EXPECT_EQ(Read(saver.path), before);
            EXPECT_FALSE(Exists(saver.path + ".tmp"));
        }
    }
}

TEST_F(SettingsClass, NoPeripheralNodeIsEverSaved) {
    const std::string emptyPeripherals = "<Branch name=\"peripherals\">\n</Branch>\n";
    PlugProbe();
    const std::string all = SavedClass(0, "all.xml");
    EXPECT_NE(all.find(emptyPeripherals), std::string::npos);
    EXPECT_FALSE(ProbePlugged());

    PlugProbe();
    ASSERT_EQ(KorvexSaveLastPowerOffSettings(LastPowerOffSettingsPath), eOk);
    EXPECT_NE(Read(LastPowerOffSettingsPath).find(emptyPeripherals), std::string::npos);
    EXPECT_EQ(Read(LastPowerOffSettingsPath), all);

    PlugProbe();
    SavedClass(4, "r.xml");
    EXPECT_FALSE(ProbePlugged());
    EXPECT_NE(LogSinceSetUp().find("Writing /yaffs/settings/LastPowerOff.xml\n"), std::string::npos);
}

TEST_F(SettingsClass, DeleteLastPowerOff) {
    EXPECT_EQ(KorvexDeleteLastPowerOffSettings(), eCannotOpenFile);
    ASSERT_EQ(KorvexSaveLastPowerOffSettings(LastPowerOffSettingsPath), eOk);
    EXPECT_EQ(KorvexDeleteLastPowerOffSettings(), eOk);
    EXPECT_FALSE(Exists(LastPowerOffSettingsPath));
}

// While a saver writes, no other thread gets the tree lock. The selected probe's subscriber
// runs inside the save (the peripheral reset clears the probe); from there a second thread
// is sent for the lock, and the save goes on only once that thread is seen blocked in its
// wait (or has wrongly got the lock). When it finally gets the lock the file is complete.
class SettingsClassFreeze : public SettingsClass {
protected:
    struct Hook {
        kernel::Semaphore go;
        std::atomic<kernel::handle_t> other{0};
        std::atomic<bool> armed{false};
        std::atomic<bool> called{false};
        std::atomic<bool> aboutToLock{false};
        std::atomic<bool> gotLock{false};
        std::atomic<bool> blockedDuringSave{false};
        std::atomic<bool> saverHeldTheLock{false};
        std::string path;
        std::string textSeenByOther;
        std::atomic<bool> otherSawFile{false};
    };

    static void OnProbeCleared(CParameterNode*, int event, void* user) {
        auto* h = static_cast<Hook*>(user);
        if (event != eEventValueChanged || !h->armed.exchange(false)) return;
        h->called = true;
        h->saverHeldTheLock = ParameterTreeLock().Owner() == kernel::thread_self();
        kernel::semaphore_post(&h->go);
        while (!h->gotLock) {
            if (h->aboutToLock && kernel::thread_info(h->other).waiting) {
                h->blockedDuringSave = true;
                return;
            }
            kernel::thread_yield();
        }
    }

    void RunSaveAgainstALockTaker(const std::string& path, const std::function<int()>& save) {
        Hook& h = hook;
        kernel::semaphore_init(&h.go, 0);
        h.path = Host(path);
        ASSERT_EQ(CParameterNode::Subscribe(g_pCurrentProbeObject, &OnProbeCleared, &h), eOk);
        PlugProbe();
        h.armed = true;

        std::promise<void> ready;
        std::thread other([&h, &ready] {
            h.other = kernel::thread_self();
            ready.set_value();
            kernel::semaphore_wait(&h.go);
            h.aboutToLock = true;
            EXPECT_TRUE(ParameterTreeLock().Lock());
            h.gotLock = true;
            std::ifstream in(h.path, std::ios::binary);
            h.otherSawFile = in.good();
            h.textSeenByOther.assign(std::istreambuf_iterator<char>(in), {});
            ParameterTreeLock().Unlock();
        });
        ready.get_future().wait();

        const int status = save();
        if (!h.called) kernel::semaphore_post(&h.go);  // never leave the thread waiting
        other.join();
        kernel::semaphore_destroy(&h.go);

        EXPECT_EQ(status, eOk);
        EXPECT_TRUE(h.called);
        EXPECT_TRUE(h.saverHeldTheLock);
        EXPECT_TRUE(h.blockedDuringSave);
        EXPECT_TRUE(h.gotLock);
        EXPECT_TRUE(h.otherSawFile);
        EXPECT_EQ(h.textSeenByOther, Read(path));
        ASSERT_GE(h.textSeenByOther.size(), 10u);
        EXPECT_EQ(h.textSeenByOther.substr(h.textSeenByOther.size() - 10), "</Branch>\n");
    }

    Hook hook;  // stays subscribed until the tree goes in TearDown
};

TEST_F(SettingsClassFreeze, ClassSaveHoldsTheTreeLockUntilTheFileIsWritten) {
    RunSaveAgainstALockTaker("/yaffs/settings/all.xml", [] { return KorvexSaveSettings("all.xml", 0); });
}

TEST_F(SettingsClassFreeze, PowerOffSaveHoldsTheTreeLockUntilTheFileIsWritten) {
    RunSaveAgainstALockTaker(LastPowerOffSettingsPath,
                             [] { return KorvexSaveLastPowerOffSettings(LastPowerOffSettingsPath); });
}

}  // namespace
