// The peripheral objects: every device found on the peripheral bus is an object of one class
// tree (pulsed probes, pulsed cameras with their heads, multiplexers). current_probe/object
// holds the selected measuring peripheral and each plugged channel's node holds its object.
//
//   CKorvexPeripheral                 channel address, channel number; operations of every
//                                     device (type, identity, initialisation, memory)
//   CKorvexMeasuringPeripheral        + the stored value of the acquisition controller
//   CKorvexPwMeasuringPeripheral      + physical information, activation, Hall sensor
//   CKorvexRealPeripheral             device identifier, memory-map word, identity strings
//                                     (secondary base of the physical devices)
//   CKorvex3AxisHallSensor            the Hall sensor's two device operations
//
// A status is 0 on success, else an eError code; 48 answers an operation the class does not
// support.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "Host/peripherals/PeripheralCommands.h"
#include "Host/peripherals/PwPhysicalInformation.h"
#include "Host/scpi/exec/KorvexChannel.h"

namespace Korvex {

class CParameterNode;
class CKorvexRealPeripheral;

class CKorvexPeripheral {
public:
    explicit CKorvexPeripheral(const CKorvexChannel& channel);
    virtual ~CKorvexPeripheral() = default;
    CKorvexPeripheral(const CKorvexPeripheral&) = delete;
    CKorvexPeripheral& operator=(const CKorvexPeripheral&) = delete;

    virtual std::uint32_t GetTypeCode() const = 0;
    virtual std::uint16_t GetIdentifierWord() const = 0;
    virtual std::uint32_t GetIdentifierNumber() const = 0;
    virtual std::string GetIdentityText() const = 0;
    virtual bool IsInitialised() const = 0;
    virtual int Initialise() = 0;
    virtual bool IsMeasuring() const = 0;
    virtual std::uint8_t GetSubChannelCount() const = 0;
    virtual int ReadDeviceMemory(std::vector<std::uint8_t>& bytes) = 0;
    virtual int WriteDeviceMemory(const std::vector<std::uint8_t>& bytes) = 0;

    // A copy of the channel address (at most 5 levels).
    CKorvexChannel GetChannel() const;
    std::uint16_t GetChannelNumber() const { return channelNumber; }
    void SetChannelNumber(std::uint16_t number) { channelNumber = number; }

    // For callers that hold the object without knowing its class: non-zero unless it is a
    // pulsed-wave measuring peripheral with physical information (the argument is not used);
    // and its physical information, the default object for any other peripheral.
    int IsNotPulsed(std::uint32_t argument) const;
    const PwPhysicalInformation& GetPwPhysicalInformation() const;

    // ---- device operations shared by the classes ----
    // One raw frame for the diagnostics: a request (even first byte) is sent and the vector
    // emptied; a read address byte (odd) is replaced by the whole frame read there. status
    // receives the controller's last status byte. 47 for a request whose length field is
    // not the vector's size.
    static int ReadMemory(std::vector<std::uint8_t>& frame, std::uint8_t& status);
    // Writes bytes into the device memory from start on in chunks of at most chunk bytes,
    // each through the block window with tolerant polling. 0, or 48 (also when the bytes
    // would run past the 64 KiB address range: nothing is sent then).
    static int WriteMemory(const std::vector<std::uint8_t>& bytes, const CKorvexChannel& channel,
                           std::uint16_t word, std::uint32_t number, std::uint16_t chunk,
                           std::uint16_t start);
    // Memory-map word (selector 11); 0 or 48.
    static int ReadDeviceInfo(CKorvexRealPeripheral& device, const CKorvexChannel& channel);
    // Identity strings (selector 2); 0 or 48.
    static int ReadIdentityStrings(CKorvexRealPeripheral& device, const CKorvexChannel& channel);
    // Two u32 with selector 7; 0 or 11.
    static int WriteWordsToDevice(CKorvexRealPeripheral& device, const CKorvexChannel& channel,
                                  std::uint32_t first, std::uint32_t second);
    // One selector's data into data; 0, or 48 when the read fails or is refused.
    static int ReadSelector(const CKorvexRealPeripheral& device, const CKorvexChannel& channel,
                            std::uint8_t selector, std::vector<std::uint8_t>& data);
    // Resets the route, then routes to the channel (without its socket level) with the
    // identifier; the failing status, else 0.
    static int RouteTo(const CKorvexChannel& channel, std::uint16_t word, std::uint32_t number);

    // ---- probe services of the settings code, commands and acquisition ----
    // The object's name: its first six bytes hold the channel address in CKorvexChannel form.
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

    // ---- topology (Topology.h, PeripheralLookup.h) ----
    static void InitCKorvexPeripheral();
    static int BuildTopology(std::vector<CKorvexChannel>& channels);
    // 0 and the current measuring peripheral when the controller's route leads to it.
    static int GetCurrentProbePath(CKorvexPeripheral*& peripheral);
    // The peripheral at a node path below `peripherals` (null for a node without a device);
    // throws eError 5 when there is no node.
    static CKorvexPeripheral* FindByPath(const std::string& path);
    static std::uint16_t NumberChannels(const std::string& path, std::uint16_t next);
    static int CheckTopologyChanged(bool& changed, bool& rebuild);

protected:
    CKorvexChannel channel;
    std::uint16_t channelNumber = 0;
};

class CKorvexMeasuringPeripheral : public CKorvexPeripheral {
public:
    using CKorvexPeripheral::CKorvexPeripheral;
    // The acquisition controller's per-channel value.
    double storedValue = 0.0;
};

class CKorvexPwMeasuringPeripheral : public CKorvexMeasuringPeripheral {
public:
    using CKorvexMeasuringPeripheral::CKorvexMeasuringPeripheral;

    bool IsMeasuring() const override { return true; }
    virtual bool LacksPhysicalInformation() const { return false; }
    virtual int Activate() = 0;
    virtual double GetMinFreq() const = 0;
    virtual double GetMaxFreq() const = 0;
    virtual double GetGyroRatio() const = 0;
    virtual bool GetHallState() const = 0;
    virtual int ReadHallWords(std::uint16_t& w1, std::uint16_t& w2, std::uint16_t& w3,
                              std::uint16_t& w4) = 0;
    // Field components, magnitude (tesla) and scale; 48 with all five 0 on failure.
    virtual int GetHallValue(float& x, float& y, float& z, float& magnitude, float& scale) = 0;
    virtual const PwPhysicalInformation* GetPhysicalInformation() const = 0;
    // Two u32 to the device (selector 7); 0 or 11.
    virtual int WriteWords(std::uint32_t first, std::uint32_t second) = 0;
};

class CKorvexRealPeripheral {
public:
    explicit CKorvexRealPeripheral(const DeviceIdentifier& identifier);
    virtual ~CKorvexRealPeripheral() = default;

    DeviceIdentifier identifier;
    std::uint8_t initialised = 0;
    std::uint16_t mapWord = 0;
    std::string identity1 = "-";
    std::string identity2 = "-";
};

class CKorvex3AxisHallSensor {
public:
    virtual ~CKorvex3AxisHallSensor() = default;
    // The set-up word to the device (selector 15); 0 or 48.
    virtual int WriteHallSetupWord() = 0;
    // The four raw words (selector 9, version 1); 0 or 48.
    virtual int ReadHallWordsFromDevice(std::uint16_t& w1, std::uint16_t& w2, std::uint16_t& w3,
                                        std::uint16_t& w4) = 0;
};

// The remembered frequency (Hz) kept in a probe's object; 0.0 means none.
double value_get_f64(const CKorvexPeripheral* peripheral);
void value_set_f64(CKorvexPeripheral* peripheral, double value);

}  // namespace Korvex
