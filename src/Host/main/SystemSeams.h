// What the main thread reaches of other subsystems at start-up: the peripherals and the
// acquisition controller. The defaults are the firmware's own
// (CKorvexPeripheral::InitCKorvexPeripheral and the one CKorvexHostAcquisition); a test
// installs seams of its own to stand in for them.
#pragma once

#include <cstdint>

namespace Korvex {

class CSystemSeams {
public:
    CSystemSeams() = default;
    virtual ~CSystemSeams() = default;
    CSystemSeams(const CSystemSeams&) = delete;
    CSystemSeams& operator=(const CSystemSeams&) = delete;

    virtual void InitPeripherals();

    // Starts the acquisition thread (it loads the DSP program and brings the DSP up).
    virtual void StartAcquisition();
    // true when the DSP was seen started; the two flags of the controller's start-up.
    virtual bool WaitForDspStarted(std::uint16_t timeoutMs, std::uint8_t& versionAccepted,
                                   std::uint8_t& started);
    virtual bool WaitForAcqStarted(std::uint16_t timeoutMs);

    // The seams in use: the ones installed last, else the defaults.
    static CSystemSeams& Instance();
    // Installs seams (null: back to the defaults); the caller keeps them alive meanwhile.
    static void Install(CSystemSeams* seams);
};

}  // namespace Korvex
