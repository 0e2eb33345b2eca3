#include "Host/peripherals/PwPhysicalInformation.h"

#include "Host/peripherals/PeripheralRecords.h"

namespace Korvex {

void PwSetDefaults(PwPhysicalInformation& info) {
    info = PwPhysicalInformation{};
    info.FreqMultiplier = 1.0;
    info.GyroRatio = 1.0;
}

const PwPhysicalInformation& PwDefaultPhysicalInformation() {
    static const PwPhysicalInformation defaults = [] {
        PwPhysicalInformation info;
        PwSetDefaults(info);
        return info;
    }();
    return defaults;
}

bool ReadPwPhysicalInformationRecord(const std::uint8_t* record, std::size_t available,
                                     PwPhysicalInformation& info, const std::uint8_t** end) {
    constexpr std::size_t kFixed = 2 + 9 * 8 + 1;  // version, doubles, dead time
    if (available < kFixed || BE16(record) != 1) return false;
    double* const scalars[] = {&info.MinFreq,        &info.MaxFreq,   &info.MinIF,
                               &info.MaxIF,          &info.FreqMultiplier, &info.GyroRatio,
                               &info.PulsePeriod,    &info.T2,        &info.SampleLength};
    for (unsigned i = 0; i < 9; ++i) *scalars[i] = BEDouble(record + 2 + 8 * i);
    info.DeadTime = record[74];
    const std::uint8_t* p = record + kFixed;
    const std::uint8_t* const limit = record + available;
    for (PwCurve* curve : {&info.NoiseLevelCurve, &info.TuningCurve, &info.MatchingCurve,
                           &info.PulseWidthCurve, &info.FreqStepCurve}) {
        if (limit - p < 2) return false;
        const std::uint16_t count = BE16(p);
        if (count > PwCurve::MaxValues || std::size_t(limit - p) < 2 + 2 * std::size_t(count))
            return false;
        p += 2;
        curve->count = count;
        for (std::uint16_t i = 0; i < count; ++i, p += 2) curve->value[i] = BE16(p);
    }
    if (end) *end = p;
    return true;
}

}  // namespace Korvex
