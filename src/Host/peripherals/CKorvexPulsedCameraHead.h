// One measuring head of a pulsed camera: its channel is the camera's with the head number
// appended; it measures with its own record from the camera's set and shares everything
// else with its camera.
#pragma once

#include "Host/peripherals/CKorvexPulsedCamera.h"

namespace Korvex {

class CKorvexPulsedCameraHead : public CKorvexPwMeasuringPeripheral {
public:
    // head: 1-based. The camera outlives its heads.
    CKorvexPulsedCameraHead(CKorvexPulsedCamera* camera, std::uint8_t head);

    std::uint32_t GetTypeCode() const override { return kTypePulsedProbe; }
    std::uint16_t GetIdentifierWord() const override { return camera->GetIdentifierWord(); }
    std::uint32_t GetIdentifierNumber() const override { return camera->GetIdentifierNumber(); }
    std::string GetIdentityText() const override { return camera->GetIdentityText(); }
    bool IsInitialised() const override { return camera->IsInitialised(); }
    int Initialise() override { return camera->Initialise(); }
    std::uint8_t GetSubChannelCount() const override { return 0; }
    int ReadDeviceMemory(std::vector<std::uint8_t>& bytes) override;
    int WriteDeviceMemory(const std::vector<std::uint8_t>& bytes) override;

    // Routes to the camera's channel with the head number, with the camera's identifier.
    int Activate() override;
    double GetMinFreq() const override { return Info().MinFreq; }
    double GetMaxFreq() const override { return Info().MaxFreq; }
    double GetGyroRatio() const override { return Info().GyroRatio; }
    bool GetHallState() const override { return camera->GetHallState(); }
    int ReadHallWords(std::uint16_t& w1, std::uint16_t& w2, std::uint16_t& w3, std::uint16_t& w4) override {
        return camera->ReadHallWords(w1, w2, w3, w4);
    }
    int GetHallValue(float& x, float& y, float& z, float& magnitude, float& scale) override {
        return camera->GetHallValue(x, y, z, magnitude, scale);
    }
    const PwPhysicalInformation* GetPhysicalInformation() const override { return &Info(); }
    int WriteWords(std::uint32_t first, std::uint32_t second) override {
        return camera->WriteWords(first, second);
    }

    std::uint8_t HeadNumber() const { return head; }

private:
    // The head's record, or the default object.
    const PwPhysicalInformation& Info() const;

    CKorvexPulsedCamera* camera;
    std::uint8_t head;
};

}  // namespace Korvex
