// The physical information of a pulsed-wave probe (what the signal processor needs to excite
// and acquire it), its record in the device memory, and the set of them a camera holds.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

namespace Korvex {

// A curve of the probe's physical information: count values (at most 128) are valid.
struct PwCurve {
    static constexpr std::uint16_t MaxValues = 128;
    std::uint16_t count;
    std::uint16_t value[MaxValues];
};

// The probe's physical information, owned by the probe object and valid while it exists.
// Value-initialised ({}) it is all zero; PwSetDefaults gives the defaults of a probe.
struct PwPhysicalInformation {
    double MinFreq;
    double MaxFreq;
    double MinIF;
    double MaxIF;
    double FreqMultiplier;
    double GyroRatio;
    double PulsePeriod;
    double T2;
    double SampleLength;
    std::uint8_t DeadTime;  // microseconds
    PwCurve NoiseLevelCurve;
    PwCurve TuningCurve;
    PwCurve MatchingCurve;
    PwCurve PulseWidthCurve;
    PwCurve FreqStepCurve;
};

// All 0 except FreqMultiplier and GyroRatio 1.0, no curve values.
void PwSetDefaults(PwPhysicalInformation& info);
// One object with those defaults for the whole run (camera heads without a record).
const PwPhysicalInformation& PwDefaultPhysicalInformation();

// Reads a version-1 physical-information record of `available` bytes: u16 version, nine
// big-endian doubles, u8 dead time, five curves [u16 count (at most 128)][count u16]. true
// and *end past the last value when accepted; false for another version, a count above 128
// (that curve and the ones after it keep theirs) or a record longer than the bytes.
bool ReadPwPhysicalInformationRecord(const std::uint8_t* record, std::size_t available,
                                     PwPhysicalInformation& info, const std::uint8_t** end);

// The records of a camera's heads, owned by the set. The probe physical-information file
// (/yaffs/user/probe.xml) is loaded through its static operations (ProbeXml.h).
class PwPhysicalInformationSet {
public:
    std::vector<std::unique_ptr<PwPhysicalInformation>> records;

    // True when the file can be opened for reading.
    static bool ProbeXmlExists();
    // Parses the file into the process-wide ProbeXmlRecord; 0, or 9 (cannot open), 10 (bad
    // file: it is deleted), 47 (out of memory).
    static int LoadProbeXml();
};

}  // namespace Korvex
