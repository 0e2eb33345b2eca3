// The probe services of the handler tests.
#include "Host/scpi/handlers/ProbeServicesDouble.h"

#include "Host/scpi/handlers/MeasurementCommands.h"
#include "Host/scpi/units/MeasurementUnits.h"

namespace Korvex::test {

namespace {

int SelectChannelFromList(const std::vector<CKorvexChannel>& channels)
{
    Probes().selections.push_back(channels);
    return Probes().selectResult;
}

int RefreshTopology(std::vector<CKorvexChannel>& channels)
{
    ++Probes().refreshes;
    channels = Probes().topology;
    return Probes().refreshResult;
}

const MeasurementProbeServices Doubles = {RefreshTopology, SelectChannelFromList};

}  // namespace

ProbeServices& Probes()
{
    static ProbeServices services;
    return services;
}

void ProbeServices::Reset()
{
    refreshResult = 30;
    topology.clear();
    selectResult = 0;
    selections.clear();
    refreshes = 0;
    gyroRatio = 42.57747892e6;
    probeSelected = false;
    SetMeasurementProbeServices(&Doubles);
    KorvexSetProbeGyroRatioSource([](double& ratio) {
        if (!Probes().probeSelected) return 46;
        ratio = Probes().gyroRatio;
        return 0;
    });
}

void ProbeServices::Uninstall()
{
    SetMeasurementProbeServices(nullptr);
    KorvexSetProbeGyroRatioSource(nullptr);
}

CKorvexChannel Address(std::initializer_list<std::uint8_t> levels)
{
    CKorvexChannel address;
    for (std::uint8_t level : levels) address.AddLevel(level);
    return address;
}

}  // namespace Korvex::test
