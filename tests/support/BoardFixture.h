// A simulated board for tests: a fresh state folder with the file systems mounted, the
// identity EEPROM at its default record, the watchdog stopped (the boot-monitor link starts
// it when the program loads), and a fatal handler that throws instead of stopping the
// instrument.
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include "Host/parameters/FileServices.h"
#include "Host/parameters/ParameterNode.h"
#include "Host/parameters/PowerHooks.h"
#include "platform/bootmon/BootMonitor.h"
#include "platform/fs/FileIo.h"
#include "platform/fs/FileSystem.h"
#include "platform/soc/Watchdog.h"
#include "sim/eeprom/EepromSim.h"

namespace korvex_test {

struct PanicCalled {};

inline void ThrowingPanic() { throw PanicCalled{}; }

class BoardFixture : public ::testing::Test {
protected:
    void SetUp() override {
        char tmpl[] = "/tmp/korvex-board-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        state = tmpl;
        platform::soc::watchdog().power_on();
        platform::fs::init(state, RomfsSource());
        platform::bootmon::set_romfs_block_missing(false);
        platform::bootmon::clear_record();
        sim::eeprom::restore_default();
        previousPanic = Korvex::SetPanicHandler(&ThrowingPanic);
    }

    void TearDown() override {
        Korvex::SetPanicHandler(previousPanic);
        if (Korvex::ParameterTreeRoot) Korvex::CParameterNode::Delete(Korvex::ParameterTreeRoot);
        Korvex::ParameterTreeRoot = nullptr;
        platform::fs::clear_faults();
        platform::fs::reset();
        platform::bootmon::set_romfs_block_missing(false);
        std::error_code ec;
        std::filesystem::remove_all(state, ec);
    }

    // The romfs folder the board boots from; tests may point it elsewhere before SetUp.
    virtual std::string RomfsSource() const { return KORVEX_ROMFS_DIR; }

    void Mount() { ASSERT_EQ(Korvex::KorvexMountFileSystems(), 0); }

    // The host file that backs a namespace path.
    std::string Host(const std::string& path) const {
        std::string host;
        EXPECT_EQ(platform::fs::resolve(path.c_str(), false, host), 0) << path;
        return host;
    }

    std::string state;
    Korvex::PanicHandler previousPanic = nullptr;
};

}  // namespace korvex_test
