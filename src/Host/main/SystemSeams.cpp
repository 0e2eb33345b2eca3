#include "Host/main/SystemSeams.h"

#include <atomic>

#include "Host/peripherals/CKorvexPeripheral.h"

namespace Korvex {

namespace {

std::atomic<CSystemSeams*> installed{nullptr};

CSystemSeams& Defaults()
{
    static CSystemSeams* seams = new CSystemSeams;
    return *seams;
}

}  // namespace

void CSystemSeams::InitPeripherals() { CKorvexPeripheral::InitCKorvexPeripheral(); }

bool CSystemSeams::WaitForDspStarted(std::uint16_t, std::uint8_t&, std::uint8_t&) { return false; }

bool CSystemSeams::WaitForAcqStarted(std::uint16_t) { return true; }

CSystemSeams& CSystemSeams::Instance()
{
    CSystemSeams* seams = installed.load();
    return seams != nullptr ? *seams : Defaults();
}

void CSystemSeams::Install(CSystemSeams* seams) { installed.store(seams); }

}  // namespace Korvex
