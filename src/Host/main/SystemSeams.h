// The services of the start-up, power and network subsystem that are not built yet: the
// main thread and the communication subscribers reach them through this one interface,
// and the issues that build them install their own. Until then the defaults stand in:
//  - keep-alive thread and power-down monitor: started, and doing nothing;
//  - peripherals: CKorvexPeripheral::InitCKorvexPeripheral;
//  - boot condition: the boot monitor's (the runner sets it from --boot-condition);
//  - acquisition start: Start returns, the DSP is never seen started, the acquisition
//    thread is;
//  - power action: handed to the boot monitor (reset, firmware-update mode) or the board
//    (power off); the runner's board-action sink carries it out;
//  - USB module: not available (logged once), no host object.
#pragma once

#include <cstdint>

namespace Korvex {

class CSystemSeams {
public:
    // Final actions of the main thread.
    enum PowerAction : std::uint32_t { PowerOff = 0, Reset = 1, FirmwareUpdate = 2 };

    CSystemSeams() = default;
    virtual ~CSystemSeams() = default;
    CSystemSeams(const CSystemSeams&) = delete;
    CSystemSeams& operator=(const CSystemSeams&) = delete;

    // Resume the thread and wait until it runs.
    virtual void StartKeepAlive() {}
    virtual void StartPowerDownMonitor() {}
    virtual std::uint32_t GetBootCondition();
    virtual void InitPeripherals();

    virtual void StartAcquisition() {}
    // true when the DSP was seen started; the two flags of the controller's start-up.
    virtual bool WaitForDspStarted(std::uint16_t timeoutMs, std::uint8_t& versionAccepted,
                                   std::uint8_t& started);
    virtual bool WaitForAcqStarted(std::uint16_t timeoutMs);

    // Returns when the board did not take the action (tests' recording board).
    virtual void PerformPowerAction(std::uint32_t action);

    // Starts or stops the USB module as comm_parms/usbtmc/enabled asks (communication
    // mutex held).
    virtual void UpdateUsbModule();

    // The seams in use: the ones installed last, else the defaults.
    static CSystemSeams& Instance();
    // Installs seams (null: back to the defaults); the caller keeps them alive meanwhile.
    static void Install(CSystemSeams* seams);
};

}  // namespace Korvex
