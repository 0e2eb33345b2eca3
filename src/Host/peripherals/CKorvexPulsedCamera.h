// A pulsed camera: one device carrying several measuring heads. It reads its camera record
// and its version-1 camera directory (identity, head map, two byte lists, camera block and
// one physical-information record per head record), limits every head record by its own
// bounds and writes the head map back to the device.
#pragma once

#include <array>
#include <string>
#include <vector>

#include "Host/peripherals/CKorvexPeripheral.h"
#include "Host/peripherals/PeripheralRecords.h"

namespace Korvex {

// Entry 4 of the camera directory.
struct CameraBlock {
    std::uint8_t version = 0;
    double values[3] = {};
    std::string text;
    double value4 = 0.0;
    std::vector<std::uint16_t> words;
};

class CKorvexPulsedCamera : public CKorvexPwMeasuringPeripheral, public CKorvexRealPeripheral {
public:
    using HeadMapEntry = std::array<std::uint8_t, 2>;  // [?][index of the head's record]

    CKorvexPulsedCamera(const CKorvexChannel& channel, const DeviceIdentifier& identifier);

    std::uint32_t GetTypeCode() const override { return identifier.typeCode; }
    std::uint16_t GetIdentifierWord() const override { return static_cast<std::uint16_t>(identifier.word); }
    std::uint32_t GetIdentifierNumber() const override { return identifier.number; }
    std::string GetIdentityText() const override { return identity2; }
    bool IsInitialised() const override { return initialised != 0; }
    int Initialise() override;
    std::uint8_t GetSubChannelCount() const override;
    int ReadDeviceMemory(std::vector<std::uint8_t>& bytes) override;
    int WriteDeviceMemory(const std::vector<std::uint8_t>& bytes) override;

    int Activate() override;
    // Over the head records: the largest MinFreq, the smallest MaxFreq (0.0 without records);
    // the common GyroRatio, the nominal ratio when two differ, 1.1 without records.
    double GetMinFreq() const override;
    double GetMaxFreq() const override;
    double GetGyroRatio() const override;
    bool GetHallState() const override { return identifier.capability & 1; }
    int ReadHallWords(std::uint16_t&, std::uint16_t&, std::uint16_t&, std::uint16_t&) override;
    int GetHallValue(float& x, float& y, float& z, float& magnitude, float& scale) override;
    const PwPhysicalInformation* GetPhysicalInformation() const override;
    int WriteWords(std::uint32_t first, std::uint32_t second) override;

    // The record of head (1-based), or null when the head map has none for it.
    const PwPhysicalInformation* HeadRecord(unsigned head) const;

    // The head map with selector 13 as [u8 count][two bytes per entry]; 0, 47 for an empty
    // map, 11 when the write fails.
    static int WriteHeadMap(CKorvexRealPeripheral& device, const CKorvexChannel& channel,
                            const std::vector<HeadMapEntry>& headMap);

    const PulsedCameraRecord& Record() const { return record; }
    const CameraBlock& Block() const { return block; }

private:
    void ReadDirectory(const std::vector<std::uint8_t>& memory);

    DirectoryHeader directory;
    std::uint8_t identityBlock[12] = {};
    std::vector<HeadMapEntry> headMap;
    std::vector<std::uint8_t> list1;
    std::vector<std::uint8_t> list2;
    CameraBlock block;
    PulsedCameraRecord record;
    PwPhysicalInformationSet set;
};

}  // namespace Korvex
