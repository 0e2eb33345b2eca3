#include "Host/main/SystemSeams.h"

#include <atomic>

#include "Host/parameters/Logger.h"
#include "Host/peripherals/CKorvexPeripheral.h"

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

void CSystemSeams::InitPeripherals() { CKorvexPeripheral::InitCKorvexPeripheral(); }

bool CSystemSeams::WaitForDspStarted(std::uint16_t, std::uint8_t&, std::uint8_t&) { return false; }

bool CSystemSeams::WaitForAcqStarted(std::uint16_t) { return true; }

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
