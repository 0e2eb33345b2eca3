// A probe for tests: a pulsed NMR probe whose physical information the test sets.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "Host/peripherals/CKorvexPeripheral.h"

namespace korvex_test {

class CProbeDouble : public Korvex::CKorvexPeripheral {
public:
    std::int32_t GetModelNumber() const override { return 1; }
    std::int32_t GetSerialNumber() const override { return 2; }
    std::string GetDesignation() const override { return designation; }
    bool HasFrequencyLimits() const override { return true; }
    bool IsNmrProbe() const override { return true; }
    int ReadMemoryImage(std::vector<std::uint8_t>&) override { return 0; }
    int WriteMemoryImage(const std::vector<std::uint8_t>&) override { return 0; }
    int IsNotPulsed(std::uint32_t) const override { return notPulsed; }
    double GetMinFrequency() const override { return info.MinFreq; }
    double GetMaxFrequency() const override { return info.MaxFreq; }
    int ReadHallRaw(std::uint16_t (&)[4]) override { return 0; }
    int ReadHallSensor(float&, float&, float&, float&, float&) override { return 0; }
    const Korvex::PwPhysicalInformation& GetPwPhysicalInformation() const override { return info; }
    bool HasHallSensor() const override { return false; }
    double GetGyromagneticRatio() const override { return info.GyroRatio; }

    Korvex::PwPhysicalInformation info{};
    int notPulsed = 0;
    std::string designation = "double";
};

}  // namespace korvex_test
