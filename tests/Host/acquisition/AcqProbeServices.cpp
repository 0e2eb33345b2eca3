// The probe services of the acquisition test program: probes registered by channel path
// (see AcqFlowsTestSupport.h). With nothing registered they answer as nothing connected.
#include <map>
#include <mutex>
#include <string>

#include "AcqFlowsTestSupport.h"
#include "Host/parameters/Bindings.h"
#include "Host/peripherals/PeripheralServices.h"
#include "Host/scpi/units/MeasurementUnits.h"

namespace KorvexTest {
namespace probes {
namespace {

std::mutex& Mutex()
{
    static std::mutex* mutex = new std::mutex;
    return *mutex;
}

std::map<std::string, CAcqProbe*>& Registry()
{
    static auto* registry = new std::map<std::string, CAcqProbe*>;
    return *registry;
}

CAcqProbe* Find(const std::string& path)
{
    std::lock_guard<std::mutex> lock(Mutex());
    const auto found = Registry().find(path);
    return found == Registry().end() ? nullptr : found->second;
}

}  // namespace

std::string Path(const Korvex::CKorvexChannel& channel)
{
    std::string path;
    for (unsigned i = 0; i < channel.count && i < Korvex::CKorvexChannel::MaxLevels; ++i) {
        if (i != 0) path += "/";
        path += std::to_string(static_cast<unsigned>(channel.level[i]));
    }
    return path;
}

void Register(CAcqProbe* probe)
{
    {
        std::lock_guard<std::mutex> lock(Mutex());
        Registry()[Path(probe->GetChannel())] = probe;
    }
    Korvex::KorvexSetProbeGyroRatioSource([](double& ratio) {
        ratio = 42.57747892e6;
        return 0;
    });
}

void Clear()
{
    {
        std::lock_guard<std::mutex> lock(Mutex());
        Registry().clear();
    }
    Korvex::KorvexSetProbeGyroRatioSource({});
    if (Korvex::g_pCurrentProbeObject != nullptr) {
        Korvex::CParameterNode::SetValue(Korvex::g_pCurrentProbeObject, static_cast<void*>(nullptr));
    }
}

}  // namespace probes
}  // namespace KorvexTest

namespace Korvex {

using KorvexTest::CAcqProbe;

std::string CKorvexPeripheral::GetName(const CKorvexPeripheral* peripheral)
{
    std::string name(CKorvexChannel::MaxLevels + 1, '\0');
    if (peripheral != nullptr) {
        const CKorvexChannel channel = peripheral->GetChannel();
        std::memcpy(&name[0], &channel, sizeof channel);
    }
    return name + "probe";
}

CKorvexPeripheral* CKorvexPeripheral::IsPresent(const std::string& channelPath)
{
    return KorvexTest::probes::Find(channelPath);
}

CParameterNode* CKorvexPeripheral::FindNodeByAddress(const CKorvexChannel&) { return nullptr; }

std::uint32_t CKorvexPeripheral::GetCurrentProbePath(CKorvexChannel&) { return NoPeripheralConnected; }

int CKorvexPeripheral::SelectChannel(const CKorvexChannel& channel, CKorvexPeripheral*& peripheral)
{
    CAcqProbe* probe = KorvexTest::probes::Find(KorvexTest::probes::Path(channel));
    peripheral = probe;
    if (probe == nullptr) return NoPeripheralConnected;
    CParameterNode::SetValue(g_pCurrentProbeObject, static_cast<void*>(static_cast<CKorvexPeripheral*>(probe)));
    return 0;
}

int CKorvexPeripheral::SelectChannelFromList(const std::vector<CKorvexChannel>&) { return NoPeripheralConnected; }

int CKorvexPeripheral::RefreshTopology(std::vector<CKorvexChannel>& channels)
{
    channels.clear();
    return NoPeripheralConnected;
}

int CKorvexPeripheral::ReadMemory(const CKorvexChannel&, std::vector<std::uint8_t>&) { return NoPeripheralConnected; }

int CKorvexPeripheral::WriteMemory(const CKorvexChannel&, const std::vector<std::uint8_t>&)
{
    return NoPeripheralConnected;
}

double value_get_f64(const CKorvexPeripheral* peripheral)
{
    const auto* probe = dynamic_cast<const CKorvexMeasuringPeripheral*>(peripheral);
    return probe != nullptr ? probe->storedValue : 0.0;
}

void value_set_f64(CKorvexPeripheral* peripheral, double value)
{
    auto* probe = dynamic_cast<CKorvexMeasuringPeripheral*>(peripheral);
    if (probe != nullptr) probe->storedValue = value;
}

}  // namespace Korvex
