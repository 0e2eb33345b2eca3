// A probe for tests: a pulsed NMR probe whose physical information the test sets.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "Host/peripherals/CKorvexPeripheral.h"

namespace korvex_test {

class CProbeDouble : public Korvex::CKorvexPwMeasuringPeripheral {
public:
    CProbeDouble() : CKorvexPwMeasuringPeripheral(Korvex::CKorvexChannel{}) {}

    std::uint32_t GetTypeCode() const override { return 2; }
    std::uint16_t GetIdentifierWord() const override { return 1; }
    std::uint32_t GetIdentifierNumber() const override { return 2; }
    std::string GetIdentityText() const override { return designation; }
    bool IsInitialised() const override { return true; }
    int Initialise() override { return 0; }
    std::uint8_t GetSubChannelCount() const override { return 0; }
    int ReadDeviceMemory(std::vector<std::uint8_t>&) override { return 0; }
    int WriteDeviceMemory(const std::vector<std::uint8_t>&) override { return 0; }
    bool LacksPhysicalInformation() const override { return notPulsed != 0; }
    int Activate() override { return 0; }
    double GetMinFreq() const override { return info.MinFreq; }
    double GetMaxFreq() const override { return info.MaxFreq; }
    double GetGyroRatio() const override { return info.GyroRatio; }
    bool GetHallState() const override { return false; }
    int ReadHallWords(std::uint16_t&, std::uint16_t&, std::uint16_t&, std::uint16_t&) override { return 48; }
    int GetHallValue(float&, float&, float&, float&, float&) override { return 48; }
    const Korvex::PwPhysicalInformation* GetPhysicalInformation() const override { return &info; }
    int WriteWords(std::uint32_t, std::uint32_t) override { return 0; }

    Korvex::PwPhysicalInformation info{};
    int notPulsed = 0;
    std::string designation = "double";
};

}  // namespace korvex_test
