// Start-up settings: the choice between the last power-off file and the factory defaults,
// the parameter-file version gate, and the board identity from the EEPROM record.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "support/FactoryTree.h"
#include "Host/parameters/Bindings.h"
#include "Host/parameters/Error.h"
#include "Host/parameters/FileServices.h"
#include "Host/parameters/Logger.h"
#include "Host/parameters/ParameterNode.h"
#include "Host/parameters/SettingsClasses.h"
#include "Host/parameters/StartupSettings.h"
#include "support/BoardFixture.h"

using namespace Korvex;
using korvex_test::PanicCalled;

using korvex_test::DropLine;
using korvex_test::Replace;

namespace {

const char* const DeletingLine =
    "KorvexLoadStartupSettings: Error in file; deleting /yaffs/settings/LastPowerOff.xml\n";
const char* const ReadingLastPowerOffLine =
    "KorvexLoadStartupSettings: Reading /yaffs/settings/LastPowerOff.xml\n";
const char* const ReadingFactoryLine = "KorvexLoadStartupSettings: Reading /romfs/factory.xml\n";
const char* const FirstBootLine =
    "KorvexLoadStartupSettings: No last power-off settings; starting from factory settings\n";
const char* const ReadingEepromLine = "KorvexLoadStartupSettings: Reading EEPROM\n";

// The factory file's line for measure_parms/search/low, and one with another value.
const char* const FactorySearchLow =
    "<Float64 name=\"low\" value=\"0.04\" minimum=\"0.04\" maximum=\"14\" default=\"0.04\" digits=\"6\"/>";
const char* const ChangedSearchLow =
    "<Float64 name=\"low\" value=\"0.5\" minimum=\"0.04\" maximum=\"14\" default=\"0.04\" digits=\"6\"/>";
const char* const FactoryParmFile = "<String name=\"parm_file\" value=\"3.5\"";

std::string ReadText(const std::string& hostPath) {
    std::ifstream in(hostPath, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

std::string FactoryText() { return ReadText(std::string(KORVEX_SOURCE_DIR) + "/romfs/factory.xml"); }



std::string WithParmFile(const std::string& text, const std::string& version) {
    return Replace(text, FactoryParmFile, "<String name=\"parm_file\" value=\"" + version + "\"");
}

std::string Value(const char* path) {
    CParameterNode* node = nullptr;
    if (CParameterNode::Find(ParameterTreeRoot, path, &node) != eOk) return "<missing>";
    switch (node->GetType()) {
        case eNodeString: return CParameterNode::GetStringAttribute(node, eAttrValue);
        case eNodeInt32: return std::to_string(CParameterNode::GetInt32Attribute(node, eAttrValue));
        case eNodeFloat64: return std::to_string(CParameterNode::GetFloat64Attribute(node, eAttrValue));
        default: return "<type " + std::to_string(node->GetType()) + ">";
    }
}

bool Exists(const char* path) {
    CParameterNode* node = nullptr;
    return CParameterNode::Find(ParameterTreeRoot, path, &node) == eOk;
}

class StartupSettings : public korvex_test::BoardFixture {
protected:
    void SetUp() override {
        BoardFixture::SetUp();
        Mount();
        MarkLog();
    }
    void TearDown() override {
        BoardFixture::TearDown();
        ForgetBindings();
    }

    static void ForgetBindings() {
        for (const SettingsBindingRow& row : SettingsBindingTable) *row.pointer = nullptr;
    }

    // Power cycle of the tree: the next start-up begins with nothing loaded.
    static void DropTree() {
        if (ParameterTreeRoot) CParameterNode::Delete(ParameterTreeRoot);
        ParameterTreeRoot = nullptr;
        ForgetBindings();
    }

    // A line only this test logged: the log ring is shared by the whole program.
    void MarkLog() {
        marker = "---- " + std::to_string(++markers) + " " +
                 ::testing::UnitTest::GetInstance()->current_test_info()->name() + " ----\n";
        Logger().Printf("%s", marker.c_str());
    }

    std::string LogSinceMark() {
        std::unique_ptr<char[]> text(Logger().GetContents());
        const std::string log(text.get());
        const std::size_t at = log.rfind(marker);
        EXPECT_NE(at, std::string::npos) << "marker fell out of the log ring";
        return at == std::string::npos ? std::string() : log.substr(at + marker.size());
    }

    void WriteLastPowerOff(const std::string& text) {
        ASSERT_EQ(KorvexMakePath("/yaffs/settings", KorvexDirectoryMode), 0);
        std::ofstream(Host(LastPowerOffSettingsPath), std::ios::binary) << text;
    }

    bool LastPowerOffExists() {
        std::uint32_t size = 0;
        return KorvexStatFile(LastPowerOffSettingsPath, size) == eOk;
    }

    // The ROM file system's factory file as the board sees it (its host copy is writable).
    void WriteFactory(const std::string& text) {
        std::ofstream(state + "/romfs/factory.xml", std::ios::binary | std::ios::trunc) << text;
    }

    // Every binding points at the node its path names in the current tree.
    static void ExpectBindingsIntoTheTree() {
        for (const SettingsBindingRow& row : SettingsBindingTable) {
            CParameterNode* node = nullptr;
            ASSERT_EQ(CParameterNode::Find(ParameterTreeRoot, row.path, &node), eOk) << row.path;
            EXPECT_EQ(*row.pointer, node) << row.path;
        }
    }

    // Boots from a refused power-off file; the factory settings must take its place whole.
    void ExpectRefusedAndReplaced() {
        EXPECT_EQ(KorvexLoadStartupSettings(), eOk);
        const std::string log = LogSinceMark();
        EXPECT_NE(log.find(DeletingLine), std::string::npos) << log;
        EXPECT_NE(log.find(ReadingFactoryLine), std::string::npos) << log;
        EXPECT_FALSE(LastPowerOffExists());
        EXPECT_EQ(Value("system/versions/parm_file"), "3.5");
        ExpectBindingsIntoTheTree();
    }

    std::string marker;
    static inline unsigned markers = 0;
};

// ---- the settings source ----

// A first boot is no error: no "Error in file; deleting", nothing removed.
TEST_F(StartupSettings, FirstBootSaysSoAndReadsTheFactoryFile) {
    ASSERT_FALSE(LastPowerOffExists());
    EXPECT_EQ(KorvexLoadStartupSettings(), eOk);

    const std::string log = LogSinceMark();
    const std::size_t firstBoot = log.find(FirstBootLine);
    const std::size_t factory = log.find(ReadingFactoryLine);
    const std::size_t eeprom = log.find(ReadingEepromLine);
    ASSERT_NE(firstBoot, std::string::npos) << log;
    ASSERT_NE(factory, std::string::npos) << log;
    ASSERT_NE(eeprom, std::string::npos) << log;
    EXPECT_EQ(log.find(DeletingLine), std::string::npos) << log;
    EXPECT_LT(firstBoot, factory);
    EXPECT_LT(factory, eeprom);

    ASSERT_NE(ParameterTreeRoot, nullptr);
    EXPECT_EQ(ParameterTreeRoot->GetName(), "Korvex");
    ExpectBindingsIntoTheTree();
    EXPECT_EQ(Value("system/versions/parm_file"), "3.5");
    EXPECT_EQ(Value("system/versions/arm_firmware"), "1.18");
    EXPECT_EQ(Value("measure_parms/search/low"), std::to_string(0.04));
}

TEST_F(StartupSettings, LastPowerOffOfAnotherVersionIsDeletedAndTheFactoryFileUsed) {
    WriteLastPowerOff(WithParmFile(Replace(FactoryText(), FactorySearchLow, ChangedSearchLow), "3.4"));
    ExpectRefusedAndReplaced();
    EXPECT_EQ(Value("measure_parms/search/low"), std::to_string(0.04));
}

TEST_F(StartupSettings, LastPowerOffOfAnAcceptedVersionSpellingIsUsed) {
    for (const char* version : {"3.5", "3.05", "3.5.1"}) {
        SCOPED_TRACE(version);
        DropTree();
        MarkLog();
        WriteLastPowerOff(WithParmFile(Replace(FactoryText(), FactorySearchLow, ChangedSearchLow), version));
        EXPECT_EQ(KorvexLoadStartupSettings(), eOk);
        EXPECT_EQ(LogSinceMark().find(DeletingLine), std::string::npos);
        EXPECT_TRUE(LastPowerOffExists());
        EXPECT_EQ(Value("measure_parms/search/low"), std::to_string(0.5));
        EXPECT_EQ(Value("system/versions/parm_file"), version);
        ExpectBindingsIntoTheTree();
    }
}

TEST_F(StartupSettings, MalformedLastPowerOffIsDeleted) {
    const std::string factory = FactoryText();
    WriteLastPowerOff(factory.substr(0, factory.size() / 2));
    ExpectRefusedAndReplaced();
}

// A refused file that did load must not leak into the factory tree: its extra nodes and
// the types it gave to known nodes are gone.
TEST_F(StartupSettings, NothingOfARefusedFileSurvivesTheFactoryFallback) {
    std::string text = WithParmFile(FactoryText(), "3.4");
    text = Replace(text, "<Branch name=\"system\">",
                   "<Branch name=\"stray\">\n<Int32 name=\"node\" value=\"7\"/>\n</Branch>\n"
                   "<Branch name=\"system\">");
    text = Replace(text, FactorySearchLow, "<String name=\"low\" value=\"text\" default=\"\" choices=\"\"/>");
    WriteLastPowerOff(text);

    ExpectRefusedAndReplaced();
    EXPECT_FALSE(Exists("stray"));
    CParameterNode* low = nullptr;
    ASSERT_EQ(CParameterNode::Find(ParameterTreeRoot, "measure_parms/search/low", &low), eOk);
    EXPECT_EQ(low->GetType(), eNodeFloat64);
    EXPECT_EQ(low, g_pSearchLow);
    EXPECT_DOUBLE_EQ(CParameterNode::GetFloat64Attribute(low, eAttrValue), 0.04);
}

TEST_F(StartupSettings, FileThatFailsBindingLeavesNothingBehind) {
    std::string text = DropLine(FactoryText(), "name=\"fstep\"");
    text = Replace(text, "<Branch name=\"peripherals\">",
                   "<Branch name=\"peripherals\">\n<Pointer name=\"9\" value=\"00000000\"/>");
    text = Replace(text, FactorySearchLow, ChangedSearchLow);
    WriteLastPowerOff(text);

    ExpectRefusedAndReplaced();
    EXPECT_TRUE(Exists("measure_parms/search/fstep"));
    EXPECT_FALSE(Exists("peripherals/9"));
    EXPECT_EQ(Value("measure_parms/search/low"), std::to_string(0.04));
}

TEST_F(StartupSettings, SavedPowerOffSettingsAreUsedOnTheNextBoot) {
    ASSERT_EQ(KorvexLoadStartupSettings(), eOk);
    CParameterNode::SetValue(g_pSearchLow, 0.5);
    CParameterNode::SetValue(g_pEthernetId, "bench-7");
    CParameterNode::SetValue(g_pSystemModel, "changed");
    ASSERT_EQ(KorvexSaveLastPowerOffSettings(LastPowerOffSettingsPath), eOk);

    DropTree();
    MarkLog();
    ASSERT_EQ(KorvexLoadStartupSettings(), eOk);
    const std::string log = LogSinceMark();
    EXPECT_EQ(log.find(DeletingLine), std::string::npos) << log;
    EXPECT_EQ(log.find(ReadingFactoryLine), std::string::npos) << log;
    EXPECT_TRUE(LastPowerOffExists());
    ExpectBindingsIntoTheTree();
    EXPECT_DOUBLE_EQ(CParameterNode::GetFloat64Attribute(g_pSearchLow, eAttrValue), 0.5);
    // A host name the user chose stays; the identity always comes from the EEPROM.
    EXPECT_EQ(Value("comm_parms/ethernet/id"), "bench-7");
    EXPECT_EQ(Value("system/model"), "KX2026");
}

// Values a host could not set are not taken from the file: each such node keeps its factory
// value and its path is logged once; the rest of the file applies.
TEST_F(StartupSettings, OutOfRangeValuesOfTheFileKeepTheirFactoryValues) {
    const struct {
        const char* path;
        const char* factoryLine;
        const char* fileLine;
        const char* factoryValue;
    } cases[] = {
        {"units_parms/selected", "name=\"selected\" value=\"T\"", "name=\"selected\" value=\"abc\"", "T"},
        {"units_parms/ppm_ref", "name=\"ppm_ref\" value=\"1\"", "name=\"ppm_ref\" value=\"0\"",
         "1.000000"},
        {"measure_parms/averaging/signal/count",
         "<Int32 name=\"count\" value=\"16\" minimum=\"1\" maximum=\"1024\" default=\"16\"/>\n<String name=\"type\" value=\"REPeat\"",
         "<Int32 name=\"count\" value=\"0\" minimum=\"1\" maximum=\"1024\" default=\"16\"/>\n<String name=\"type\" value=\"REPeat\"",
         "16"},
        {"measure_parms/averaging/measurement/count",
         "<Int32 name=\"count\" value=\"16\" minimum=\"1\" maximum=\"1024\" default=\"16\"/>\n<String name=\"type\" value=\"MOVing\"",
         "<Int32 name=\"count\" value=\"5000\" minimum=\"1\" maximum=\"1024\" default=\"16\"/>\n<String name=\"type\" value=\"MOVing\"",
         "16"},
        {"trigger_parms/trigger_in/source", "value=\"IMMediate\"", "value=\"IMM\"", "IMMediate"},
    };
    std::string text = Replace(FactoryText(), FactorySearchLow, ChangedSearchLow);
    for (const auto& c : cases) text = Replace(text, c.factoryLine, c.fileLine);
    WriteLastPowerOff(text);

    EXPECT_EQ(KorvexLoadStartupSettings(), eOk);
    const std::string log = LogSinceMark();
    EXPECT_EQ(log.find(DeletingLine), std::string::npos) << log;
    EXPECT_EQ(Value("measure_parms/search/low"), std::to_string(0.5));
    for (const auto& c : cases) {
        SCOPED_TRACE(c.path);
        EXPECT_EQ(Value(c.path), c.factoryValue);
        const std::string line =
            std::string("KorvexLoadStartupSettings: ") + c.path + " out of range; factory value kept\n";
        const std::size_t at = log.find(line);
        EXPECT_NE(at, std::string::npos) << log;
        EXPECT_EQ(log.find(line, at + 1), std::string::npos) << log;
    }
}

// A value that is no number, or whose conversion overflows, is out of range: the node keeps
// its factory value and its limits, and the path is logged, for every node type.
TEST_F(StartupSettings, UnreadableValuesOfTheFileKeepTheirFactoryValues) {
    const struct {
        const char* path;
        const char* prefix;  // the factory text before the value, unique in the file
        const char* factoryValue;
        const char* suffix;  // the rest of the factory line after the value
    } nodes[] = {
        {"comm_parms/ethernet/enabled", "<Branch name=\"ethernet\">\n<Boolean name=\"enabled\" value=\"",
         "1", "\" default=\"1\"/>"},
        {"measure_parms/averaging/signal/count", "<Branch name=\"signal\">\n<Boolean name=\"active\" value=\"0\" default=\"0\"/>\n<Int32 name=\"count\" value=\"",
         "16", "\" minimum=\"1\" maximum=\"1024\" default=\"16\"/>"},
        {"measure_parms/search/low", "<Float64 name=\"low\" value=\"", "0.04",
         "\" minimum=\"0.04\" maximum=\"14\" default=\"0.04\" digits=\"6\"/>"},
    };
    const char* const values[] = {"99999999999999999999", "-99999999999999999999", "2147483648",
                                  "1e999", "nan", "inf", "-inf", "0x10", "0x1p3", "", " ", "12abc",
                                  "1.5.5", "4 2", "-"};
    for (const auto& n : nodes) {
        for (const char* bad : values) {
            SCOPED_TRACE(std::string(n.path) + " = \"" + bad + "\"");
            DropTree();
            MarkLog();
            const std::string factoryLine = std::string(n.prefix) + n.factoryValue + n.suffix;
            ASSERT_NE(FactoryText().find(factoryLine), std::string::npos);
            WriteLastPowerOff(Replace(FactoryText(), factoryLine, std::string(n.prefix) + bad + n.suffix));

            ASSERT_EQ(KorvexLoadStartupSettings(), eOk);
            const std::string log = LogSinceMark();
            EXPECT_EQ(log.find(DeletingLine), std::string::npos) << log;
            CParameterNode* node = nullptr;
            ASSERT_EQ(CParameterNode::Find(ParameterTreeRoot, n.path, &node), eOk);
            switch (node->GetType()) {
                case eNodeBoolean:
                    EXPECT_TRUE(CParameterNode::GetBooleanAttribute(node, eAttrValue));
                    break;
                case eNodeInt32:
                    EXPECT_EQ(CParameterNode::GetInt32Attribute(node, eAttrValue), 16);
                    EXPECT_EQ(CParameterNode::GetInt32Attribute(node, eAttrMinimum), 1);
                    EXPECT_EQ(CParameterNode::GetInt32Attribute(node, eAttrMaximum), 1024);
                    break;
                default:
                    EXPECT_DOUBLE_EQ(CParameterNode::GetFloat64Attribute(node, eAttrValue), 0.04);
                    EXPECT_DOUBLE_EQ(CParameterNode::GetFloat64Attribute(node, eAttrMaximum), 14);
                    break;
            }
            const std::string line =
                std::string("KorvexLoadStartupSettings: ") + n.path + " out of range; factory value kept\n";
            EXPECT_NE(log.find(line), std::string::npos) << log;
        }
    }
}

// What a save cut short by a power cut left is removed at start-up, logged once, never read.
TEST_F(StartupSettings, UnfinishedSavesAreRemovedAtStartUp) {
    ASSERT_EQ(KorvexLoadStartupSettings(), eOk);
    CParameterNode::SetValue(g_pSearchLow, 0.5);
    ASSERT_EQ(KorvexSaveLastPowerOffSettings(LastPowerOffSettingsPath), eOk);
    ASSERT_EQ(KorvexMakePath("/yaffs/settings/measure_parms", KorvexDirectoryMode), 0);
    std::ofstream(Host("/yaffs/settings/LastPowerOff.xml.tmp")) << "<Branch name=\"Korvex\">\n<Int";
    std::ofstream(Host("/yaffs/settings/measure_parms/m.xml.tmp")) << "";

    DropTree();
    MarkLog();
    ASSERT_EQ(KorvexLoadStartupSettings(), eOk);
    const std::string log = LogSinceMark();
    const std::string line = "KorvexLoadStartupSettings: removed 2 unfinished settings file(s) (*.tmp)\n";
    EXPECT_NE(log.find(line), std::string::npos) << log;
    EXPECT_EQ(log.find(DeletingLine), std::string::npos) << log;
    std::uint32_t size = 0;
    EXPECT_NE(KorvexStatFile("/yaffs/settings/LastPowerOff.xml.tmp", size), eOk);
    EXPECT_NE(KorvexStatFile("/yaffs/settings/measure_parms/m.xml.tmp", size), eOk);
    EXPECT_DOUBLE_EQ(CParameterNode::GetFloat64Attribute(g_pSearchLow, eAttrValue), 0.5);
}

// A file far larger than any settings file is refused unread: the factory settings start.
TEST_F(StartupSettings, OversizedLastPowerOffIsRefusedUnread) {
    std::string text = FactoryText();
    text = Replace(text, "</Branch>\n</Branch>\n",
                   "</Branch>\n" + std::string(CParameterNode::MaxSettingsFileSize, ' ') + "</Branch>\n");
    WriteLastPowerOff(text);
    ExpectRefusedAndReplaced();
}

// ---- the factory file ----

TEST_F(StartupSettings, UnusableFactoryFilePanics) {
    const std::string factory = FactoryText();
    const struct {
        const char* what;
        std::string text;
    } cases[] = {
        {"malformed", factory.substr(0, factory.size() - 20)},
        {"lacking a bound path", DropLine(factory, "name=\"ppm_ref\"")},
        {"of version 3.4", WithParmFile(factory, "3.4")},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        DropTree();
        WriteFactory(c.text);
        EXPECT_THROW(KorvexLoadStartupSettings(), PanicCalled);
    }

    SCOPED_TRACE("missing");
    DropTree();
    std::remove((state + "/romfs/factory.xml").c_str());
    WriteLastPowerOff(WithParmFile(factory, "3.4"));
    EXPECT_THROW(KorvexLoadStartupSettings(), PanicCalled);
    EXPECT_FALSE(LastPowerOffExists());
}

// ---- the parameter-file version ----

TEST(StartupSettingsVersion, OnlyMajor3Minor5IsAccepted) {
    for (const char* accepted : {"3.5", "3.05", "3.5.1", "03.5x", "3.5 ", " 3.5", "+3.+5"})
        EXPECT_TRUE(KorvexParmFileVersionAccepted(accepted)) << accepted;
    for (const char* refused : {"3.4", "3.6", "4.5", "3", "5", "", ".5", "3.", "x3.5", "-3.5"})
        EXPECT_FALSE(KorvexParmFileVersionAccepted(refused)) << refused;
}

TEST(StartupSettingsVersion, HalvesAreLeadingDecimalNumbersTakenAsU16) {
    std::uint16_t major = 1, minor = 1;
    KorvexParseVersion("2", major, minor);
    EXPECT_EQ(major, 2);
    EXPECT_EQ(minor, 2);
    KorvexParseVersion("12a.034b", major, minor);
    EXPECT_EQ(major, 12);
    EXPECT_EQ(minor, 34);
    KorvexParseVersion("", major, minor);
    EXPECT_EQ(major, 0);
    EXPECT_EQ(minor, 0);
    KorvexParseVersion("65539.70000", major, minor);
    EXPECT_EQ(major, 3);
    EXPECT_EQ(minor, 70000 & 0xFFFF);
    KorvexParseVersion(" -1.\t+7", major, minor);
    EXPECT_EQ(major, 0xFFFF);
    EXPECT_EQ(minor, 7);
}

// ---- the identity record ----

class StartupSettingsIdentity : public StartupSettings {
protected:
    void SetRecord(std::size_t offset, const void* bytes, std::size_t size) {
        sim::eeprom::set_bytes(offset, bytes, size);
    }
    void SetText(std::size_t offset, std::size_t slot, const std::string& text) {
        std::vector<std::uint8_t> bytes(slot, 0);
        std::memcpy(bytes.data(), text.data(), text.size() < slot ? text.size() : slot);
        SetRecord(offset, bytes.data(), slot);
    }
};

TEST_F(StartupSettingsIdentity, DefaultRecordFillsTheSystemSubtree) {
    ASSERT_EQ(KorvexLoadStartupSettings(), eOk);
    EXPECT_EQ(Value("system/eeprom/version"), "2.0");
    EXPECT_EQ(Value("system/eeprom/date_created"), "1.12.26");
    EXPECT_EQ(Value("system/eeprom/time_created"), "09:30:00");
    EXPECT_EQ(Value("system/manufacturer"), "Korvex Instruments");
    EXPECT_EQ(Value("system/model"), "KX2026");
    EXPECT_EQ(Value("system/serial_no"), "12345");
    EXPECT_EQ(Value("system/manuf_date"), "1.12.26");
    EXPECT_EQ(Value("system/calib_date"), "2.12.26");
    EXPECT_EQ(Value("system/versions/hardware"), "1.0");
    EXPECT_EQ(Value("system/rf/min_freq"), "1000000");
    EXPECT_EQ(Value("system/rf/max_freq"), "300000000");
    EXPECT_EQ(Value("system/esa"), "02:4b:56:00:30:39");
    EXPECT_EQ(Value("system/usb/vendor_id"), std::to_string(0x1d6b));
    EXPECT_EQ(Value("system/usb/product_id"), std::to_string(0x4b58));
    EXPECT_EQ(Value("system/usb/version"), "1.00");
    EXPECT_EQ(Value("system/usb/version_bcd"), std::to_string(0x0100));
    EXPECT_EQ(Value("comm_parms/ethernet/id"), "Korvex_12345");
}

TEST_F(StartupSettingsIdentity, SerialNumberGivesTheDefaultHostName) {
    const std::uint8_t serial[4] = {42, 0, 0, 0};
    SetRecord(76, serial, sizeof serial);
    ASSERT_EQ(KorvexLoadStartupSettings(), eOk);
    EXPECT_EQ(Value("system/serial_no"), "42");
    EXPECT_EQ(Value("comm_parms/ethernet/id"), "Korvex_00042");
}

TEST_F(StartupSettingsIdentity, StationAddressIsLowerCaseHex) {
    const std::uint8_t mac[6] = {0x00, 0x50, 0xC2, 0x1A, 0x2B, 0x3C};
    SetRecord(116, mac, sizeof mac);
    ASSERT_EQ(KorvexLoadStartupSettings(), eOk);
    EXPECT_EQ(Value("system/esa"), "00:50:c2:1a:2b:3c");
}

TEST_F(StartupSettingsIdentity, NumbersAreLittleEndian) {
    const std::uint8_t serial[4] = {0x78, 0x56, 0x34, 0x12};
    const std::uint8_t rf[8] = {0x01, 0x02, 0x03, 0x04, 0xF0, 0xDE, 0xBC, 0x0A};
    const std::uint8_t usb[4] = {0xCD, 0xAB, 0x34, 0x12};
    const std::uint8_t bcd[2] = {0x10, 0x02};
    SetRecord(76, serial, sizeof serial);
    SetRecord(108, rf, sizeof rf);
    SetRecord(124, usb, sizeof usb);
    SetRecord(136, bcd, sizeof bcd);
    ASSERT_EQ(KorvexLoadStartupSettings(), eOk);
    EXPECT_EQ(Value("system/serial_no"), std::to_string(0x12345678));
    EXPECT_EQ(Value("system/rf/min_freq"), std::to_string(0x04030201));
    EXPECT_EQ(Value("system/rf/max_freq"), std::to_string(0x0ABCDEF0));
    EXPECT_EQ(Value("system/usb/vendor_id"), std::to_string(0xABCD));
    EXPECT_EQ(Value("system/usb/product_id"), std::to_string(0x1234));
    EXPECT_EQ(Value("system/usb/version_bcd"), std::to_string(0x0210));
    EXPECT_EQ(Value("comm_parms/ethernet/id"), "Korvex_305419896");
}

// A text that fills its slot to the last byte has no NUL: it ends with the slot, not in
// the next field (nor past the 140 bytes read).
TEST_F(StartupSettingsIdentity, UnterminatedTextsEndWithTheirSlot) {
    std::vector<std::uint8_t> all(140, 0xA5);
    SetRecord(0, all.data(), all.size());
    const std::uint8_t after[16] = {'Z', 'Z', 'Z', 'Z', 'Z', 'Z', 'Z', 'Z', 'Z', 'Z', 'Z', 'Z', 'Z', 'Z', 'Z', 'Z'};
    SetRecord(140, after, sizeof after);
    SetText(8, 8, "2.0ABCDE");
    SetText(16, 8, "20260112");
    SetText(24, 12, "093000123456");
    SetText(36, 32, std::string(32, 'M'));
    SetText(68, 8, "KX-MODEL");
    const std::uint8_t serial[4] = {7, 0, 0, 0};
    SetRecord(76, serial, sizeof serial);
    SetText(80, 8, "MANUFDAT");
    SetText(88, 8, "CALIBDAT");
    SetText(96, 8, "HWVERSIO");
    SetText(128, 8, "USBVERSN");
    const std::uint8_t bcd[2] = {'1', '2'};
    SetRecord(136, bcd, sizeof bcd);

    ASSERT_EQ(KorvexLoadStartupSettings(), eOk);
    EXPECT_EQ(Value("system/eeprom/version"), "2.0ABCDE");
    EXPECT_EQ(Value("system/eeprom/date_created"), "20260112");
    EXPECT_EQ(Value("system/eeprom/time_created"), "093000123456");
    EXPECT_EQ(Value("system/manufacturer"), std::string(32, 'M'));
    EXPECT_EQ(Value("system/model"), "KX-MODEL");
    EXPECT_EQ(Value("system/manuf_date"), "MANUFDAT");
    EXPECT_EQ(Value("system/calib_date"), "CALIBDAT");
    EXPECT_EQ(Value("system/versions/hardware"), "HWVERSIO");
    EXPECT_EQ(Value("system/usb/version"), "USBVERSN");
    EXPECT_EQ(Value("system/usb/version_bcd"), std::to_string(0x3231));
    EXPECT_EQ(Value("system/serial_no"), "7");
}

TEST_F(StartupSettingsIdentity, OnlyRecordVersion2Point0Starts) {
    for (const char* refused : {"2.1", "1.0", "2", "", "20"}) {
        SCOPED_TRACE(refused);
        DropTree();
        SetText(8, 8, refused);
        EXPECT_THROW(KorvexLoadStartupSettings(), PanicCalled);
        // Nothing of a refused record is stored.
        EXPECT_EQ(Value("system/eeprom/version"), "");
        EXPECT_EQ(Value("system/model"), "");
    }
    for (const char* accepted : {"2.0", "2.00", "02.0"}) {
        SCOPED_TRACE(accepted);
        DropTree();
        SetText(8, 8, accepted);
        EXPECT_EQ(KorvexLoadStartupSettings(), eOk);
        EXPECT_EQ(Value("system/eeprom/version"), accepted);
    }
}

TEST_F(StartupSettingsIdentity, ThreeFailedReadsAreRetriedAndFourPanic) {
    sim::eeprom::fail_next_reads(3);
    EXPECT_EQ(KorvexLoadStartupSettings(), eOk);
    EXPECT_EQ(sim::eeprom::reads(), 4u);
    EXPECT_EQ(Value("system/model"), "KX2026");

    DropTree();
    MarkLog();
    sim::eeprom::restore_default();
    sim::eeprom::fail_next_reads(4);
    EXPECT_THROW(KorvexLoadStartupSettings(), PanicCalled);
    EXPECT_EQ(sim::eeprom::reads(), 4u);
    EXPECT_NE(LogSinceMark().find(ReadingEepromLine), std::string::npos);
    EXPECT_EQ(Value("system/model"), "");
}

}  // namespace
