#include "FieldOption.h"

#include <algorithm>
#include <cstdio>
#include <utility>
#include <vector>

namespace korvex_sim {

namespace {

using Range = std::pair<double, double>;  // Hz

void CollectRanges(const sim::periph::SimDevice* device, std::vector<Range>& ranges)
{
    if (device == nullptr) return;
    const sim::periph::DeviceDescription& d = device->Description();
    if (d.kind != sim::periph::Kind::Multiplexer) ranges.emplace_back(d.minHz, d.maxHz);
    for (unsigned port = 1; port <= device->PortCount(); ++port) CollectRanges(device->Port(port), ranges);
}

// digits significant digits: a range in tesla reads 0.5-3 with 4, not 0.500029-2.99995.
std::string Number(double value, int digits = 6)
{
    char text[32];
    std::snprintf(text, sizeof text, "%.*g", digits, value);
    return text;
}

}  // namespace

std::string CheckField(double tesla, double gyro, sim::periph::PeripheralControllerSim& controller)
{
    std::vector<Range> ranges;
    CollectRanges(controller.Device("1"), ranges);
    const double hz = tesla * gyro;
    if (ranges.empty() || gyro <= 0) return "";
    for (const Range& range : ranges)
        if (hz >= range.first && hz <= range.second) return "";
    std::sort(ranges.begin(), ranges.end());
    ranges.erase(std::unique(ranges.begin(), ranges.end()), ranges.end());
    std::string text = "--field " + Number(tesla) + " is outside the range" + (ranges.size() > 1 ? "s" : "") +
                       " of the probes plugged in: ";
    for (std::size_t i = 0; i < ranges.size(); ++i) {
        if (i > 0) text += ", ";
        text += Number(ranges[i].first / gyro, 4) + "-" + Number(ranges[i].second / gyro, 4) + " T (" +
                Number(ranges[i].first / 1e6) + "-" + Number(ranges[i].second / 1e6) + " MHz)";
    }
    return text + "; give --field a value in " + (ranges.size() > 1 ? "one of them" : "it");
}

}  // namespace korvex_sim
