// The peripheral controller of the probe bus: an I2C slave on segment 1 that answers the
// instrument's framed requests for the devices plugged into the instrument's socket.
//
// Frames: [address byte][length, 2 bytes BE][payload][check]; the address byte is the I2C
// address phase (7-bit 0x10-0x16 << 1, bit 0 set for a read) and is not sent as data, so the
// controller rebuilds it for the XOR check. A request with a bad check or length is refused.
//
// Requests (written to 0x20..0x2C) and replies (read from the next odd address byte):
//   0x20 start-up; 0x22 topology changed? (reply 0x23: byte 3 = 0x11 after a plug, unplug or
//   start pulse until the next socket-entry read, else 0); 0x24 topology scan; 0x25 (read
//   only) the socket's entry; 0x26 route; 0x28 current route (reply 0x29); 0x2A write
//   memory; 0x2C read memory (reply 0x2D: [selector][identifier word][identifier number]
//   then the data).
// Status (read at 0x21, 5 bytes): bit 0 ready, bits 1-3 the acknowledge code of the last
// request (0 accepted, 2 the route reset, 4 refused), bits 4-7 zero unless a fault asks.
// After a request the controller is busy for one status read (two after a scan); after a
// block-window store it does not answer the next ten status reads at all.
//
// The socket drives AIN0 (the NMR path sense): 1000 when empty, 790 with a device plugged.
// The controller counts reads, never wall time.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/soc/I2cSlave.h"
#include "sim/peripheral_devices/PeripheralDevices.h"

namespace sim {
namespace periph {

constexpr unsigned kSegment = 1;
constexpr std::uint8_t kFirstAddress = 0x10;
constexpr std::uint8_t kLastAddress = 0x16;
constexpr std::uint16_t kAinEmpty = 1000;
constexpr std::uint16_t kAinPlugged = 790;

// Faults, each armed for a number of events.
enum class Fault {
    BadCheck,    // frames read from the controller carry a wrong check byte
    Nack,        // address phases are not acknowledged
    Refuse,      // requests are refused (code 4)
    NeverReady,  // status reads answer busy
    ZeroData,    // memory read replies carry no data
    Route6,      // current-route replies claim six levels
    ShortEntry,  // socket-entry frames are one byte short
    Pending,     // status reads set bits 4-7
};

// One request as the controller received it.
struct Request {
    std::uint8_t addressByte;
    std::vector<std::uint8_t> frame;  // the whole frame, address byte included
};

class PeripheralControllerSim : public platform::soc::I2cSlave {
public:
    PeripheralControllerSim();

    // Back to one default probe on the socket, no faults, no route, empty request log.
    void Reset();
    // Empties the socket.
    void Clear();
    // path: channel levels joined by "/", the socket being "1". false with a reason when the
    // path does not lead to a free place (a multiplexer port or the socket).
    bool Plug(const std::string& path, const DeviceDescription& description, std::string& error);
    bool Unplug(const std::string& path, std::string& error);
    // The device at the path, or null (test access; hold no pointer across Plug/Unplug).
    SimDevice* Device(const std::string& path);

    // The start-up line was pulsed: the route is cleared and the change indicator set.
    void StartPulse();
    void ArmFault(Fault fault, unsigned count);
    // Data bytes per block-window read (64 at first).
    void SetWindowChunk(std::uint16_t bytes);
    // The NMR path sense level: 0..3 choose 1000, 790, 565, 320.
    static void SetNmrLevel(unsigned level);
    // The path state the AIN0 level stands for: 0 empty (902..1023, and below 189),
    // 1 plugged (675..901), 2 broken (455..674), 3 broken (189..454).
    static unsigned NmrPathState();
    // Whether the probe's NMR signal reaches the receiver: only on an intact ("plugged")
    // path.
    static bool NmrSignalPresent() { return NmrPathState() == 1; }

    // What is plugged where: "<path>:<kind>" joined by ",", the socket's device first, or
    // "none".
    std::string PluggedDevices() const;
    // The armed faults, each with the number of events it still affects.
    std::vector<std::pair<Fault, unsigned>> ArmedFaults() const;

    std::vector<Request> Requests() const;
    void ClearRequests();
    // Status frames read (each address phase at 0x21 counts, answered or not).
    unsigned StatusReads() const;
    // The route last accepted, as [count][levels][word 2][number 3].
    std::vector<std::uint8_t> CurrentRoute() const;

    // I2C slave side.
    bool Start(std::uint8_t address7, bool read) override;
    bool Write(std::uint8_t byte) override;
    std::uint8_t Read(bool ack) override;
    void Stop() override;

private:
    bool TakeFault(Fault fault);
    void UpdateAnalog();
    void HandleRequest(std::uint8_t addressByte, std::vector<std::uint8_t>& frame);
    std::vector<std::uint8_t> BuildRead(std::uint8_t addressByte);
    // The device at channel levels below the socket; a camera also stands for its heads.
    SimDevice* Resolve(const std::uint8_t* levels, unsigned count, bool allowHead);
    SimDevice* ResolvePath(const std::string& path, SimDevice** parent, unsigned* port);
    std::uint8_t RouteCode(const std::uint8_t* payload, std::size_t size);
    std::uint8_t MemoryCode(std::uint8_t request, const std::uint8_t* payload, std::size_t size);

    mutable std::mutex mutex_;
    std::unique_ptr<SimDevice> socket_;
    std::uint16_t windowChunk_ = 64;
    unsigned faults_[8] = {};

    // Bus phase state.
    bool reading_ = false;
    std::uint8_t address7_ = 0;
    std::vector<std::uint8_t> in_;   // bytes written in this transfer
    std::vector<std::uint8_t> out_;  // frame being read
    std::size_t outPos_ = 1;         // byte 0 is the address phase

    // Controller state.
    std::uint8_t code_ = 0;
    unsigned busyReads_ = 0;
    unsigned nackStatusReads_ = 0;
    bool changed_ = false;
    std::vector<std::uint8_t> route_{0, 0, 0, 0, 0, 0};
    std::vector<std::uint8_t> changeReply_, routeReply_, memoryReply_;
    std::vector<Request> requests_;
    unsigned statusReads_ = 0;
};

// The controller of the simulated board, attached to segment 1 at 0x10-0x16 and to the
// start-up line GPB7 on first use, holding one default probe.
PeripheralControllerSim& BoardPeripheralController();

}  // namespace periph
}  // namespace sim
