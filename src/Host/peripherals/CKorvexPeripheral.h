// The peripheral object of one plugged channel (probe, multiplexer or pulsed camera), as
// the settings code, the SCPI commands, the unit conversions and the acquisition
// controller see it. current_probe/object holds the one of the selected probe.
//
// Interface only: the peripherals subsystem implements the objects and the static
// operations below.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "Host/scpi/exec/KorvexChannel.h"

namespace Korvex {

class CParameterNode;

// A curve of the probe's physical information: count values (at most 128) are valid.
struct PwCurve {
    static constexpr std::uint16_t MaxValues = 128;
    std::uint16_t count;
    std::uint16_t value[MaxValues];
};

// The probe's physical information, owned by the probe object and valid while it exists.
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

class CKorvexPeripheral {
public:
    virtual ~CKorvexPeripheral() = default;

    // The virtual operations, in the order of the peripheral's virtual table.
    virtual std::int32_t GetModelNumber() const = 0;
    virtual std::int32_t GetSerialNumber() const = 0;
    virtual std::string GetDesignation() const = 0;
    virtual bool HasFrequencyLimits() const = 0;
    // True when the object is a probe that can take NMR measurements.
    virtual bool IsNmrProbe() const = 0;
    // The peripheral's memory image; 0 on success.
    virtual int ReadMemoryImage(std::vector<std::uint8_t>& image) = 0;
    virtual int WriteMemoryImage(const std::vector<std::uint8_t>& image) = 0;
    // 0 for pulsed probes and pulsed cameras, non-zero for every other peripheral.
    virtual int IsNotPulsed(std::uint32_t argument) const = 0;
    // Lowest and highest frequency the probe covers (Hz).
    virtual double GetMinFrequency() const = 0;
    virtual double GetMaxFrequency() const = 0;
    // Four raw Hall readings; 0 on success.
    virtual int ReadHallRaw(std::uint16_t (&raw)[4]) = 0;
    // Field components, measured field (tesla) and relative tolerance; 0 on success.
    virtual int ReadHallSensor(float& x, float& y, float& z, float& field, float& tolerance) = 0;
    virtual const PwPhysicalInformation& GetPwPhysicalInformation() const = 0;
    virtual bool HasHallSensor() const = 0;
    // Gyromagnetic ratio of the probe's nucleus (Hz per tesla).
    virtual double GetGyromagneticRatio() const = 0;

    // A copy of the object's name; its first six bytes hold the channel address in
    // CKorvexChannel form.
    static std::string GetName(const CKorvexPeripheral* peripheral);
    // The object registered for a channel path text ("1/2"), null when there is none.
    static CKorvexPeripheral* IsPresent(const std::string& channelPath);
    // The channel's parameter node, or null.
    static CParameterNode* FindNodeByAddress(const CKorvexChannel& channel);
    // 0 and the current probe's channel; 30 when nothing is connected; else a failure.
    static std::uint32_t GetCurrentProbePath(CKorvexChannel& channel);
    // Selects the channel as the current probe path; 0 on success. peripheral receives the
    // channel's object, null when there is none.
    static int SelectChannel(const CKorvexChannel& channel, CKorvexPeripheral*& peripheral);
    // Selects the measuring channel from the list; 0, or 29, 30, 50 among others.
    static int SelectChannelFromList(const std::vector<CKorvexChannel>& channels);
    // Rebuilds the peripheral objects when the topology changed; fills the channels of all
    // probes found. 0; 30 nothing connected; another code on a link failure.
    static int RefreshTopology(std::vector<CKorvexChannel>& channels);
    // A peripheral's memory over the peripheral bus; 0 or a failure code.
    static int ReadMemory(const CKorvexChannel& address, std::vector<std::uint8_t>& bytes);
    static int WriteMemory(const CKorvexChannel& address, const std::vector<std::uint8_t>& bytes);
};

// The remembered frequency (Hz) kept in a probe's object; 0.0 means none.
double value_get_f64(const CKorvexPeripheral* peripheral);
void value_set_f64(CKorvexPeripheral* peripheral, double value);

}  // namespace Korvex
