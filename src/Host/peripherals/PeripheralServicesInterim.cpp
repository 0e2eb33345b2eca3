// The probe services of an instrument with nothing connected (see PeripheralServices.h).
#include "Host/peripherals/PeripheralServices.h"

namespace Korvex {

std::string CKorvexPeripheral::GetName(const CKorvexPeripheral* /*peripheral*/)
{
    return std::string(CKorvexChannel::MaxLevels + 1, '\0');
}

CKorvexPeripheral* CKorvexPeripheral::IsPresent(const std::string& /*channelPath*/)
{
    return nullptr;
}

CParameterNode* CKorvexPeripheral::FindNodeByAddress(const CKorvexChannel& /*channel*/)
{
    return nullptr;
}

std::uint32_t CKorvexPeripheral::GetCurrentProbePath(CKorvexChannel& /*channel*/)
{
    return NoPeripheralConnected;
}

int CKorvexPeripheral::SelectChannel(const CKorvexChannel& /*channel*/,
                                     CKorvexPeripheral*& peripheral)
{
    peripheral = nullptr;
    return NoPeripheralConnected;
}

int CKorvexPeripheral::SelectChannelFromList(const std::vector<CKorvexChannel>& /*channels*/)
{
    return NoPeripheralConnected;
}

int CKorvexPeripheral::RefreshTopology(std::vector<CKorvexChannel>& channels)
{
    channels.clear();
    return NoPeripheralConnected;
}

int CKorvexPeripheral::ReadMemory(const CKorvexChannel& /*address*/,
                                  std::vector<std::uint8_t>& /*bytes*/)
{
    return NoPeripheralConnected;
}

int CKorvexPeripheral::WriteMemory(const CKorvexChannel& /*address*/,
                                   const std::vector<std::uint8_t>& /*bytes*/)
{
    return NoPeripheralConnected;
}

double value_get_f64(const CKorvexPeripheral* /*peripheral*/)
{
    return 0.0;
}

void value_set_f64(CKorvexPeripheral* /*peripheral*/, double /*value*/) {}

}  // namespace Korvex
