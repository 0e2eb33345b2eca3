// Common ground of the peripheral tests: a 1 ms tick, the board's I2C bus with the simulated
// peripheral controller (one default probe, no faults) on segment 1, the link layer started,
// and helpers to read what the controller received.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "Host/peripherals/PeripheralBus.h"
#include "board/s3c2410_i2c.h"
#include "platform/kernel/Kernel.h"
#include "platform/soc/IicModel.h"
#include "sim/board/AnalogInputs.h"
#include "sim/peripheral_controller/PeripheralControllerSim.h"
#include "sim/topology_file/TopologyFile.h"
#include "support/BoardFixture.h"

namespace korvex_test {

using Bytes = std::vector<std::uint8_t>;

class PeripheralFixture : public BoardFixture {
protected:
    void SetUp() override {
        BoardFixture::SetUp();
        previousTick = kernel::tick_ms();
        kernel::set_tick_ms(1.0);
        i2c::bus_init(&s3c2410_i2c_bus);
        platform::soc::iic().clear_faults();
        Controller().Reset();
        AttachController();
        Korvex::PeripheralBusInit();
        Korvex::PeripheralStartup(true);
        Controller().ClearRequests();
    }
    void TearDown() override {
        AttachController();
        Controller().Reset();
        sim::analog_reset();
        kernel::set_tick_ms(previousTick);
        BoardFixture::TearDown();
    }

    static sim::periph::PeripheralControllerSim& Controller() {
        return sim::periph::BoardPeripheralController();
    }
    static void AttachController() {
        for (std::uint8_t a = sim::periph::kFirstAddress; a <= sim::periph::kLastAddress; ++a)
            platform::soc::i2c_attach(sim::periph::kSegment, a, &Controller());
    }
    // Replaces what is plugged by the description lines.
    static void Plug(const std::string& path, const std::string& line) {
        std::string p, error;
        sim::periph::DeviceDescription d;
        ASSERT_TRUE(sim::periph::ParseDescription(path + " " + line, p, d, error)) << error;
        ASSERT_TRUE(Controller().Plug(p, d, error)) << error;
    }

    // The requests received since the last ClearRequests, as whole frames.
    static std::vector<Bytes> Frames(std::uint8_t addressByte) {
        std::vector<Bytes> out;
        for (const auto& r : Controller().Requests())
            if (r.addressByte == addressByte) out.push_back(r.frame);
        return out;
    }

    double previousTick = 10.0;
};

}  // namespace korvex_test
