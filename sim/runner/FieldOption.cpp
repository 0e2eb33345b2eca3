#include "FieldOption.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
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

std::string Number(double value)
{
    char text[32];
    std::snprintf(text, sizeof text, "%.6g", value);
    return text;
}

// A range's bound in tesla as the message prints it: to 6 significant digits, rounded into
// the range, so that --field given the printed bound is accepted (the default probe's 21.29
// MHz is 0.50003 T, just above 0.5 T).
std::string Bound(double hz, double gyro, bool lower)
{
    const double tesla = hz / gyro;
    if (!(tesla > 0)) return Number(tesla);
    const double unit = std::pow(10.0, std::floor(std::log10(tesla)) - 5);
    double value = (lower ? std::ceil(tesla / unit) : std::floor(tesla / unit)) * unit;
    std::string text = Number(value);
    // Read back as --field reads it, the text must pass the check's own comparison.
    for (int step = 0; step < 3; ++step) {
        const double read = std::strtod(text.c_str(), nullptr);
        if (lower ? read * gyro >= hz : read * gyro <= hz) break;
        value += lower ? unit : -unit;
        text = Number(value);
    }
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
        text += Bound(ranges[i].first, gyro, true) + "-" + Bound(ranges[i].second, gyro, false) + " T (" +
                Number(ranges[i].first / 1e6) + "-" + Number(ranges[i].second / 1e6) + " MHz)";
    }
    return text + "; give --field a value in " + (ranges.size() > 1 ? "one of them" : "it");
}

}  // namespace korvex_sim
