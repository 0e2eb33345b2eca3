// The spine of the instrument: brings it up in a fixed order, waits for a power event and
// takes it down in the order the event's reason demands. The peripherals and the acquisition
// controller are reached through CSystemSeams (tests stand in for them there); power
// management through CKorvexPower.
#pragma once

#include <cstdint>

namespace Korvex {

class CKorvexHostParser;

class CMainThread {
public:
    static constexpr std::uint16_t DspStartTimeoutMs = 10000;
    static constexpr std::uint16_t AcqStartTimeoutMs = 500;
    // OPERation:BIT12 row of the instrument-wide block: the DSP did not start.
    static constexpr std::uint32_t RowDspNotStarted = 63;
    // How long the shut-down waits for the message the parser runs before it goes on.
    static constexpr int ParserHoldLimitMs = 2000;

    // Start-up, in order: keep-alive thread, boot condition, file systems (the last
    // power-off file deleted on a warm boot on factory), start-up settings, peripherals,
    // power-down monitor, acquisition thread and DSP, parser, engine, USB module,
    // communication subscriptions and the network thread.
    void StartUp();
    // Shut-down for a power reason: the parser held (no command runs any more; the message
    // it runs ends first, within 2 s), the last power-off file saved (0, 2, 5) or deleted
    // (1, 4), file systems unmounted, USB and VXI-11 modules stopped through their
    // subscribers, and the final action, which suspends the calling thread. Returns only
    // for a reason without a final action (6 or more).
    void ShutDown(std::uint32_t reason);
    // StartUp, the wait for a power event, ShutDown; an exception escaping any step is
    // logged. Control coming back ends in the fatal stop.
    [[noreturn]] void Run();

    std::uint32_t BootCondition() const { return bootCondition; }
    CKorvexHostParser* Parser() const { return parser; }

    // The log text of a boot condition.
    static const char* BootConditionText(std::uint32_t condition);

private:
    std::uint32_t bootCondition = 0;
    CKorvexHostParser* parser = nullptr;
};

}  // namespace Korvex
