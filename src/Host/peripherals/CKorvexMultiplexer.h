// A multiplexer: routes the bus to the devices on its ports; never a measuring channel.
#pragma once

#include "Host/peripherals/CKorvexPeripheral.h"

namespace Korvex {

class CKorvexMultiplexer : public CKorvexPeripheral, public CKorvexRealPeripheral {
public:
    // channels: its number of ports, from its topology entry.
    CKorvexMultiplexer(const CKorvexChannel& channel, const DeviceIdentifier& identifier,
                       std::uint8_t channels);

    std::uint32_t GetTypeCode() const override { return identifier.typeCode; }
    std::uint16_t GetIdentifierWord() const override { return static_cast<std::uint16_t>(identifier.word); }
    std::uint32_t GetIdentifierNumber() const override { return identifier.number; }
    std::string GetIdentityText() const override { return identity2; }
    bool IsInitialised() const override { return initialised != 0; }
    // Memory-map word and identity strings (no route is sent); 0 or 48.
    int Initialise() override;
    bool IsMeasuring() const override { return false; }
    std::uint8_t GetSubChannelCount() const override { return channelCount; }
    int ReadDeviceMemory(std::vector<std::uint8_t>& bytes) override;
    int WriteDeviceMemory(const std::vector<std::uint8_t>& bytes) override;

private:
    std::uint8_t channelCount;
};

}  // namespace Korvex
