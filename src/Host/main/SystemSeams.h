// The services of the start-up, power and network subsystem that are not built yet: the
// main thread and the communication subscribers reach them through this one interface,
// and the issues that build them install their own. Until then the defaults stand in:
//  - peripherals: CKorvexPeripheral::InitCKorvexPeripheral;
//  - acquisition start: Start returns, the DSP is never seen started, the acquisition
//    thread is.
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

    virtual void StartAcquisition() {}
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
