#include "Host/main/SystemSeams.h"

#include <atomic>

#include "Host/parameters/Logger.h"
#include "Host/peripherals/CKorvexPeripheral.h"
#include "platform/bootmon/BootMonitor.h"
#include "platform/soc/BoardActions.h"

namespace Korvex {

namespace {

std::atomic<CSystemSeams*> installed{nullptr};
std::atomic<bool> usbLogged{false};

CSystemSeams& Defaults()
{
    static CSystemSeams* seams = new CSystemSeams;
    return *seams;
}

}  // namespace

std::uint32_t CSystemSeams::GetBootCondition()
{
    std::uint32_t condition = 0;
    platform::bootmon::service_entry(platform::bootmon::OpGetBootCondition,
                                     reinterpret_cast<std::uintptr_t>(&condition));
    return condition;
}

void CSystemSeams::InitPeripherals() { CKorvexPeripheral::InitCKorvexPeripheral(); }

bool CSystemSeams::WaitForDspStarted(std::uint16_t, std::uint8_t&, std::uint8_t&) { return false; }

bool CSystemSeams::WaitForAcqStarted(std::uint16_t) { return true; }

void CSystemSeams::PerformPowerAction(std::uint32_t action)
{
    switch (action) {
        case PowerOff: platform::soc::board_action(platform::soc::BoardAction::PowerOff); break;
        case Reset: platform::bootmon::service_entry(platform::bootmon::OpReset, 0); break;
        case FirmwareUpdate:
            platform::bootmon::service_entry(platform::bootmon::OpEnterUpdateMode, 0);
            break;
        default: break;
    }
}

void CSystemSeams::UpdateUsbModule()
{
    if (!usbLogged.exchange(true)) Logger().Printf("USB SCPI module not available\n");
}

CSystemSeams& CSystemSeams::Instance()
{
    CSystemSeams* seams = installed.load();
    return seams != nullptr ? *seams : Defaults();
}

void CSystemSeams::Install(CSystemSeams* seams) { installed.store(seams); }

}  // namespace Korvex
