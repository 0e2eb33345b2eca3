// The probe physical-information file /yaffs/user/probe.xml: a host may store it to give
// pulsed-wave probes physical information in place of the record in their own memory.
// Loaded once at start-up into one process-wide record; while ProbeXmlStatus is 0 every probe
// initialised afterwards takes its physical information from the record.
//
// Form: elements matched by name anywhere in the document (the root's name is not looked
// at); StructVersion (must be 1), MinFreq .. SampleLength (decimal floating point), DeadTime,
// and the five curves, each with one attribute giving the number of values and its values
// as text separated by commas. Text over 512 characters, a count above 128 or more than 128
// values make the file bad; a bad file is deleted.
#pragma once

#include <atomic>
#include <cstdint>

#include "Host/peripherals/PwPhysicalInformation.h"

namespace Korvex {

constexpr const char* kProbeXmlPath = "/yaffs/user/probe.xml";
constexpr std::size_t kProbeXmlTextMax = 512;

struct ProbeXmlCurve {
    std::uint16_t count;
    std::uint16_t value[PwCurve::MaxValues];
};

struct ProbeXmlRecord {
    std::uint16_t StructVersion;
    double MinFreq;
    double MaxFreq;
    double MinIF;
    double MaxIF;
    double FreqMultiplier;
    double GyroRatio;
    double PulsePeriod;
    double T2;
    double SampleLength;
    std::uint8_t DeadTime;
    ProbeXmlCurve NoiseLevelCurve;
    ProbeXmlCurve TuningCurve;
    ProbeXmlCurve MatchingCurve;
    ProbeXmlCurve PulseWidthCurve;
    ProbeXmlCurve FreqStepCurve;
};

// The record the file was loaded into (filled only by the load).
const ProbeXmlRecord& ProbeXmlRecordData();
// 2 not tried, 1 tried (or trying), 0 loaded.
extern std::atomic<std::uint32_t> ProbeXmlStatus;

// The start-up step: status 1, then, when the file exists, the load; status 0 when it
// succeeds. Answers the load's result (9 when there is no file).
int ProbeXmlLoadAtStartup();

// Replaces info's scalars and curves by the record's.
void ApplyProbeXmlRecord(const ProbeXmlRecord& record, PwPhysicalInformation& info);

}  // namespace Korvex
