#include "sim/peripheral_controller/PeripheralControllerSim.h"

#include <cstdlib>
#include <sstream>

#include "platform/gpio/Gpio.h"
#include "sim/board/AnalogInputs.h"

namespace sim {
namespace periph {

namespace {

constexpr std::size_t kMaxFrame = 4096;  // longer writes are cut and fail their check

std::uint8_t Xor(const std::vector<std::uint8_t>& bytes, std::size_t count) {
    std::uint8_t x = 0;
    for (std::size_t i = 0; i < count; ++i) x ^= bytes[i];
    return x;
}

// Header [address byte][length] over the payload, and the check byte.
std::vector<std::uint8_t> Frame(std::uint8_t addressByte, const std::vector<std::uint8_t>& payload) {
    std::vector<std::uint8_t> f{addressByte};
    PutU16(f, static_cast<std::uint16_t>(payload.size() + 4));
    f.insert(f.end(), payload.begin(), payload.end());
    f.push_back(Xor(f, f.size()));
    return f;
}

bool SplitPath(const std::string& path, std::vector<unsigned>& levels) {
    levels.clear();
    std::stringstream in(path);
    std::string part;
    while (std::getline(in, part, '/')) {
        char* end = nullptr;
        const unsigned long v = std::strtoul(part.c_str(), &end, 10);
        if (part.empty() || *end != '\0' || v == 0 || v > 255) return false;
        levels.push_back(static_cast<unsigned>(v));
    }
    return !levels.empty() && levels[0] == 1;
}

}  // namespace

PeripheralControllerSim::PeripheralControllerSim() { Reset(); }

void PeripheralControllerSim::Reset() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        socket_ = std::make_unique<SimDevice>(DeviceDescription{}, "1");
        windowChunk_ = 64;
        for (unsigned& f : faults_) f = 0;
        code_ = 0;
        busyReads_ = 0;
        nackStatusReads_ = 0;
        changed_ = false;
        route_.assign(6, 0);
        changeReply_.clear();
        routeReply_.clear();
        memoryReply_.clear();
        requests_.clear();
        statusReads_ = 0;
        reading_ = false;
        in_.clear();
        out_.clear();
    }
    UpdateAnalog();
}

void PeripheralControllerSim::Clear() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        socket_.reset();
        changed_ = true;
    }
    UpdateAnalog();
}

void PeripheralControllerSim::UpdateAnalog() {
    bool plugged;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        plugged = socket_ != nullptr;
    }
    analog_set(0, plugged ? kAinPlugged : kAinEmpty);
}

void PeripheralControllerSim::SetNmrLevel(unsigned level) {
    static const std::uint16_t kLevels[4] = {1000, 790, 565, 320};
    if (level < 4) analog_set(0, kLevels[level]);
}

SimDevice* PeripheralControllerSim::ResolvePath(const std::string& path, SimDevice** parent,
                                                unsigned* port) {
    std::vector<unsigned> levels;
    *parent = nullptr;
    *port = 0;
    if (!SplitPath(path, levels)) return nullptr;
    SimDevice* device = socket_.get();
    for (std::size_t i = 1; i < levels.size(); ++i) {
        if (!device || device->Description().kind != Kind::Multiplexer) {
            *parent = nullptr;
            return nullptr;
        }
        *parent = device;
        *port = levels[i];
        device = device->Port(levels[i]);
    }
    return device;
}

bool PeripheralControllerSim::Plug(const std::string& path, const DeviceDescription& description,
                                   std::string& error) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        std::vector<unsigned> levels;
        if (!SplitPath(path, levels)) {
            error = "bad path " + path;
            return false;
        }
        auto device = std::make_unique<SimDevice>(description, path);
        device->SetWindowChunk(windowChunk_);
        if (levels.size() == 1) {
            socket_ = std::move(device);
        } else {
            SimDevice* parent = nullptr;
            unsigned port = 0;
            ResolvePath(path, &parent, &port);
            if (!parent || !parent->SetPort(port, std::move(device))) {
                error = "no multiplexer port at " + path;
                return false;
            }
        }
        changed_ = true;
    }
    UpdateAnalog();
    return true;
}

bool PeripheralControllerSim::Unplug(const std::string& path, std::string& error) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        SimDevice* parent = nullptr;
        unsigned port = 0;
        if (!ResolvePath(path, &parent, &port)) {
            error = "nothing plugged at " + path;
            return false;
        }
        if (parent)
            parent->SetPort(port, nullptr);
        else
            socket_.reset();
        changed_ = true;
    }
    UpdateAnalog();
    return true;
}

SimDevice* PeripheralControllerSim::Device(const std::string& path) {
    std::lock_guard<std::mutex> lock(mutex_);
    SimDevice* parent = nullptr;
    unsigned port = 0;
    return ResolvePath(path, &parent, &port);
}

void PeripheralControllerSim::StartPulse() {
    std::lock_guard<std::mutex> lock(mutex_);
    route_.assign(6, 0);
    changed_ = true;
}

unsigned PeripheralControllerSim::NmrPathState() {
    const std::uint16_t level = analog_get(0);
    if (level >= 675 && level <= 901) return 1;
    if (level >= 455 && level <= 674) return 2;
    if (level >= 189 && level <= 454) return 3;
    return 0;
}

std::string PeripheralControllerSim::PluggedDevices() const {
    static const char* const kKinds[] = {"probe", "camera", "mux"};
    std::lock_guard<std::mutex> lock(mutex_);
    std::string out;
    std::vector<std::pair<const SimDevice*, std::string>> pending;
    if (socket_) pending.emplace_back(socket_.get(), "1");
    while (!pending.empty()) {
        const auto [device, path] = pending.front();
        pending.erase(pending.begin());
        if (!out.empty()) out += ',';
        out += path + ":" + kKinds[static_cast<unsigned>(device->Description().kind)];
        for (unsigned port = 1; port <= device->PortCount(); ++port)
            if (const SimDevice* child = device->Port(port))
                pending.emplace_back(child, path + "/" + std::to_string(port));
    }
    return out.empty() ? "none" : out;
}

std::vector<std::pair<Fault, unsigned>> PeripheralControllerSim::ArmedFaults() const {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<std::pair<Fault, unsigned>> armed;
    for (unsigned i = 0; i < sizeof faults_ / sizeof faults_[0]; ++i)
        if (faults_[i] != 0) armed.emplace_back(static_cast<Fault>(i), faults_[i]);
    return armed;
}

void PeripheralControllerSim::ArmFault(Fault fault, unsigned count) {
    std::lock_guard<std::mutex> lock(mutex_);
    faults_[static_cast<unsigned>(fault)] = count;
}

void PeripheralControllerSim::SetWindowChunk(std::uint16_t bytes) {
    std::lock_guard<std::mutex> lock(mutex_);
    windowChunk_ = bytes;
    std::vector<SimDevice*> pending{socket_.get()};
    while (!pending.empty()) {
        SimDevice* d = pending.back();
        pending.pop_back();
        if (!d) continue;
        d->SetWindowChunk(bytes);
        for (unsigned p = 1; p <= d->PortCount(); ++p) pending.push_back(d->Port(p));
    }
}

std::vector<Request> PeripheralControllerSim::Requests() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return requests_;
}

void PeripheralControllerSim::ClearRequests() {
    std::lock_guard<std::mutex> lock(mutex_);
    requests_.clear();
    statusReads_ = 0;
}

unsigned PeripheralControllerSim::StatusReads() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return statusReads_;
}

std::vector<std::uint8_t> PeripheralControllerSim::CurrentRoute() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return route_;
}

bool PeripheralControllerSim::TakeFault(Fault fault) {
    unsigned& n = faults_[static_cast<unsigned>(fault)];
    if (n == 0) return false;
    --n;
    return true;
}

// ---- bus phases ------------------------------------------------------------------------

bool PeripheralControllerSim::Start(std::uint8_t address7, bool read) {
    std::lock_guard<std::mutex> lock(mutex_);
    reading_ = false;
    in_.clear();
    out_.clear();
    if (address7 < kFirstAddress || address7 > kLastAddress) return false;
    if (read && address7 == kFirstAddress) {
        ++statusReads_;
        if (nackStatusReads_ > 0) {
            --nackStatusReads_;
            return false;
        }
    }
    if (TakeFault(Fault::Nack)) return false;
    address7_ = address7;
    reading_ = read;
    if (!read) return true;
    out_ = BuildRead(static_cast<std::uint8_t>(address7 << 1 | 1));
    if (out_.empty()) return false;
    if (TakeFault(Fault::BadCheck)) out_.back() ^= 0x5A;
    outPos_ = 1;
    return true;
}

bool PeripheralControllerSim::Write(std::uint8_t byte) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (reading_) return false;
    if (in_.size() < kMaxFrame) in_.push_back(byte);
    return true;
}

std::uint8_t PeripheralControllerSim::Read(bool /*ack*/) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!reading_ || outPos_ >= out_.size()) return 0xFF;
    return out_[outPos_++];
}

void PeripheralControllerSim::Stop() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!reading_ && !in_.empty()) {
        std::vector<std::uint8_t> frame{static_cast<std::uint8_t>(address7_ << 1)};
        frame.insert(frame.end(), in_.begin(), in_.end());
        HandleRequest(frame[0], frame);
    }
    reading_ = false;
    in_.clear();
}

std::vector<std::uint8_t> PeripheralControllerSim::BuildRead(std::uint8_t addressByte) {
    switch (addressByte) {
    case 0x21: {
        bool ready = true;
        if (busyReads_ > 0) {
            --busyReads_;
            ready = false;
        }
        if (TakeFault(Fault::NeverReady)) ready = false;
        std::uint8_t s = static_cast<std::uint8_t>((ready ? 1 : 0) | code_);
        if (TakeFault(Fault::Pending)) s |= 0x10;
        return Frame(0x21, {s});
    }
    case 0x23:
        return changeReply_;
    case 0x25: {
        std::vector<std::uint8_t> id;
        if (socket_) {
            id = socket_->IdentifierBytes();
        } else {
            id.assign(12, 0);
            id[1] = 1;  // present, type 0: nothing to list
        }
        changed_ = false;
        if (TakeFault(Fault::ShortEntry)) id.pop_back();
        return Frame(0x25, id);
    }
    case 0x29:
        return routeReply_;
    case 0x2D:
        return memoryReply_;
    default:
        return {};
    }
}

void PeripheralControllerSim::HandleRequest(std::uint8_t addressByte,
                                            std::vector<std::uint8_t>& frame) {
    requests_.push_back({addressByte, frame});
    busyReads_ = 1;
    const std::size_t length = frame.size() >= 3 ? (std::size_t(frame[1]) << 8 | frame[2]) : 0;
    if (frame.size() < 4 || length != frame.size() || Xor(frame, frame.size()) != 0 ||
        TakeFault(Fault::Refuse)) {
        code_ = 4;
        return;
    }
    const std::uint8_t* payload = frame.data() + 3;
    const std::size_t size = frame.size() - 4;
    switch (addressByte) {
    case 0x20:
        code_ = 0;
        break;
    case 0x22:
        code_ = 0;
        changeReply_ = Frame(0x23, {static_cast<std::uint8_t>(changed_ ? 0x11 : 0)});
        break;
    case 0x24:
        code_ = 0;
        busyReads_ = 2;
        break;
    case 0x26:
        code_ = RouteCode(payload, size);
        break;
    case 0x28: {
        code_ = 0;
        std::vector<std::uint8_t> r = route_;
        if (TakeFault(Fault::Route6)) {
            std::vector<std::uint8_t> six{6, 1, 1, 1, 1, 1, 1};
            six.insert(six.end(), r.end() - 5, r.end());  // the identifier
            r = six;
        }
        routeReply_ = Frame(0x29, r);
        break;
    }
    case 0x2A:
    case 0x2C:
        code_ = MemoryCode(addressByte, payload, size);
        break;
    default:
        code_ = 4;
        break;
    }
}

SimDevice* PeripheralControllerSim::Resolve(const std::uint8_t* levels, unsigned count,
                                            bool allowHead) {
    SimDevice* device = socket_.get();
    for (unsigned i = 0; i < count && device; ++i) {
        if (device->Description().kind == Kind::Multiplexer) {
            device = device->Port(levels[i]);
        } else if (allowHead && device->Description().kind == Kind::Camera && i + 1 == count &&
                   levels[i] >= 1 && levels[i] <= device->HeadCount()) {
            return device;
        } else {
            return nullptr;
        }
    }
    return device;
}

std::uint8_t PeripheralControllerSim::RouteCode(const std::uint8_t* payload, std::size_t size) {
    if (size < 6 || size != std::size_t(payload[0]) + 6) return 4;
    const unsigned count = payload[0];
    const std::uint16_t word = static_cast<std::uint16_t>(payload[1 + count] << 8 | payload[2 + count]);
    const std::uint32_t number = std::uint32_t(payload[3 + count]) << 16 |
                                 std::uint32_t(payload[4 + count]) << 8 | payload[5 + count];
    if (count == 0 && word == 0 && number == 0) {
        route_.assign(6, 0);
        return 2;
    }
    SimDevice* device = Resolve(payload + 1, count, true);
    if (!device || device->Word() != word || device->Number() != number) return 4;
    route_.assign(payload, payload + size);
    return 0;
}

std::uint8_t PeripheralControllerSim::MemoryCode(std::uint8_t request, const std::uint8_t* payload,
                                                 std::size_t size) {
    if (size < 7 || size < std::size_t(payload[0]) + 7) return 4;
    const unsigned count = payload[0];
    const std::size_t fixed = count + 7;
    if (request == 0x2C && size != fixed) return 4;
    const std::uint16_t word = static_cast<std::uint16_t>(payload[1 + count] << 8 | payload[2 + count]);
    const std::uint32_t number = std::uint32_t(payload[3 + count]) << 16 |
                                 std::uint32_t(payload[4 + count]) << 8 | payload[5 + count];
    const std::uint8_t selector = payload[6 + count];
    SimDevice* device = Resolve(payload + 1, count, false);
    if (!device) return 4;
    if (!(word == 0 && number == 0) && (device->Word() != word || device->Number() != number))
        return 4;
    if (request == 0x2A) {
        bool stored = false;
        if (!device->WriteSelector(selector, std::vector<std::uint8_t>(payload + fixed, payload + size),
                                   stored))
            return 4;
        if (stored) nackStatusReads_ = 10;
        return 0;
    }
    std::vector<std::uint8_t> data;
    if (!device->ReadSelector(selector, data)) return 4;
    if (TakeFault(Fault::ZeroData)) data.clear();
    std::vector<std::uint8_t> reply{selector};
    PutU16(reply, device->Word());
    PutU24(reply, device->Number());
    reply.insert(reply.end(), data.begin(), data.end());
    memoryReply_ = Frame(0x2D, reply);
    return 0;
}

PeripheralControllerSim& BoardPeripheralController() {
    // Never destroyed: the IIC model may still hold it at exit.
    static PeripheralControllerSim* const controller = [] {
        auto* c = new PeripheralControllerSim;
        for (std::uint8_t a = kFirstAddress; a <= kLastAddress; ++a)
            platform::soc::i2c_attach(kSegment, a, c);
        // GPB7 driven low is the start-up pulse.
        platform::gpio::add_listener(
            platform::gpio::Port::B, platform::gpio::kPeripheralStartPin,
            [](unsigned, bool high, void* context) {
                if (!high) static_cast<PeripheralControllerSim*>(context)->StartPulse();
            },
            c);
        return c;
    }();
    return *controller;
}

}  // namespace periph
}  // namespace sim
