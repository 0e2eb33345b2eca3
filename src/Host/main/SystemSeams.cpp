#include "Host/main/SystemSeams.h"

#include <atomic>

#include "Host/acquisition/CKorvexHostAcquisition.h"
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

void CSystemSeams::StartAcquisition() { CKorvexHostAcquisition::Instance().Start(); }

bool CSystemSeams::WaitForDspStarted(std::uint16_t timeoutMs, std::uint8_t& versionAccepted,
                                     std::uint8_t& started)
{
    return CKorvexHostAcquisition::Instance().WaitForDspStarted(timeoutMs, versionAccepted, started) != 0;
}

bool CSystemSeams::WaitForAcqStarted(std::uint16_t timeoutMs)
{
    return CKorvexHostAcquisition::Instance().WaitForAcqStarted(timeoutMs) != 0;
}

CSystemSeams& CSystemSeams::Instance()
{
    CSystemSeams* seams = installed.load();
    return seams != nullptr ? *seams : Defaults();
}

void CSystemSeams::Install(CSystemSeams* seams) { installed.store(seams); }

}  // namespace Korvex
