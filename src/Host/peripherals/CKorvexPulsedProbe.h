// A pulsed-wave NMR probe: physical information and Hall-sensor data from its own memory
// (single records below memory-map word 512, a version-2 directory from 512 on), or the
// physical information from the probe file when it was loaded; activated as the measuring
// channel with its sample window.
#pragma once

#include "Host/peripherals/CKorvexPeripheral.h"
#include "Host/peripherals/PeripheralRecords.h"

namespace Korvex {

class CKorvexPulsedProbe : public CKorvexPwMeasuringPeripheral,
                           public CKorvexRealPeripheral,
                           public CKorvex3AxisHallSensor {
public:
    // channel: the probe's channel (socket level first); identifier from its topology entry.
    CKorvexPulsedProbe(const CKorvexChannel& channel, const DeviceIdentifier& identifier);

    std::uint32_t GetTypeCode() const override { return identifier.typeCode; }
    std::uint16_t GetIdentifierWord() const override { return static_cast<std::uint16_t>(identifier.word); }
    std::uint32_t GetIdentifierNumber() const override { return identifier.number; }
    std::string GetIdentityText() const override { return identity2; }
    bool IsInitialised() const override { return initialised != 0; }
    int Initialise() override;
    std::uint8_t GetSubChannelCount() const override { return 0; }
    int ReadDeviceMemory(std::vector<std::uint8_t>& bytes) override;
    int WriteDeviceMemory(const std::vector<std::uint8_t>& bytes) override;

    int Activate() override;
    double GetMinFreq() const override { return info.MinFreq; }
    double GetMaxFreq() const override { return info.MaxFreq; }
    double GetGyroRatio() const override { return info.GyroRatio; }
    bool GetHallState() const override;
    int ReadHallWords(std::uint16_t& w1, std::uint16_t& w2, std::uint16_t& w3, std::uint16_t& w4) override;
    int GetHallValue(float& x, float& y, float& z, float& magnitude, float& scale) override;
    const PwPhysicalInformation* GetPhysicalInformation() const override { return &info; }
    int WriteWords(std::uint32_t first, std::uint32_t second) override;

    int WriteHallSetupWord() override;
    int ReadHallWordsFromDevice(std::uint16_t& w1, std::uint16_t& w2, std::uint16_t& w3,
                                std::uint16_t& w4) override;

    // The sample window sent on activation: (offset + short duration) x 1e6 x 1.1 and
    // (sample length + short duration) x 1e6 x 1.1, clamped to the u32 range.
    static void SampleWindow(double offset, double shortDuration, double sampleLength,
                             std::uint32_t& start, std::uint32_t& length);

    const HallSensorData& Hall() const { return hall; }
    const DirectoryHeader& Directory() const { return directory; }

private:
    // Each throws eError 48 on failure.
    void ReadSingleRecords();
    void ReadDirectoryRecords();
    void ReadHallRecord(const std::uint8_t* record, std::size_t available);

    HallSensorData hall;
    DirectoryHeader directory;
    PwPhysicalInformation info;
};

}  // namespace Korvex
