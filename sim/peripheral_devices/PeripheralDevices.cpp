#include "sim/peripheral_devices/PeripheralDevices.h"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace sim {
namespace periph {

void PutU16(std::vector<std::uint8_t>& out, std::uint16_t v) {
    out.push_back(static_cast<std::uint8_t>(v >> 8));
    out.push_back(static_cast<std::uint8_t>(v));
}

void PutU24(std::vector<std::uint8_t>& out, std::uint32_t v) {
    out.push_back(static_cast<std::uint8_t>(v >> 16));
    PutU16(out, static_cast<std::uint16_t>(v));
}

void PutU32(std::vector<std::uint8_t>& out, std::uint32_t v) {
    PutU16(out, static_cast<std::uint16_t>(v >> 16));
    PutU16(out, static_cast<std::uint16_t>(v));
}

void PutDouble(std::vector<std::uint8_t>& out, double v) {
    std::uint64_t bits;
    std::memcpy(&bits, &v, sizeof bits);
    PutU32(out, static_cast<std::uint32_t>(bits >> 32));
    PutU32(out, static_cast<std::uint32_t>(bits));
}

void PutFloat(std::vector<std::uint8_t>& out, float v) {
    std::uint32_t bits;
    std::memcpy(&bits, &v, sizeof bits);
    PutU32(out, bits);
}

std::vector<std::uint8_t> IdentityStrings(const std::string& first, const std::string& second) {
    std::vector<std::uint8_t> out;
    PutU16(out, static_cast<std::uint16_t>(first.size()));
    out.insert(out.end(), first.begin(), first.end());
    PutU16(out, static_cast<std::uint16_t>(second.size()));
    out.insert(out.end(), second.begin(), second.end());
    return out;
}

std::vector<std::uint8_t> PhysicalInformationRecord(double minHz, double maxHz, double gyro) {
    std::vector<std::uint8_t> out;
    PutU16(out, 1);
    for (double v : {minHz, maxHz, 1e3, 5e5, 1.0, gyro, 0.01, 0.003, 0.002}) PutDouble(out, v);
    out.push_back(20);  // dead time, microseconds
    for (std::uint16_t curve = 0; curve < 5; ++curve) {
        PutU16(out, 4);
        for (std::uint16_t i = 0; i < 4; ++i)
            PutU16(out, static_cast<std::uint16_t>(0x1000 * (curve + 1) + i));
    }
    return out;
}

std::vector<std::uint8_t> HallRecord() {
    std::vector<std::uint8_t> out;
    PutU16(out, 2);
    out.push_back(0x03);  // set up on activation, sensor on
    PutU16(out, 0x5A01);  // set-up word
    out.push_back(5);     // Hall byte: 5 % tolerance
    for (int i = 0; i < 3; ++i) PutU16(out, 0x8000);
    for (int i = 0; i < 3; ++i) PutFloat(out, static_cast<float>(kHallTeslaPerCount));
    PutU16(out, 0x8000);
    for (int i = 0; i < 6; ++i) PutFloat(out, 0.0f);
    return out;
}

std::vector<std::uint8_t> HallReading(const std::array<double, 3>& tesla) {
    std::vector<std::uint8_t> out;
    PutU16(out, 1);
    for (double b : tesla) {
        long counts = 0x8000 + std::lround(b / kHallTeslaPerCount);
        if (counts < 0) counts = 0;
        if (counts > 0xFFFF) counts = 0xFFFF;
        PutU16(out, static_cast<std::uint16_t>(counts));
    }
    PutU16(out, 0x8000);
    return out;
}

namespace {

std::vector<std::uint8_t> CameraRecord(double minHz, double maxHz) {
    std::vector<std::uint8_t> out;
    PutU16(out, 1);
    for (double v : {minHz, maxHz, 1e3, 5e5, 1.0}) PutDouble(out, v);
    PutU16(out, 0);
    return out;
}

// XOR check at offset `at` so that bytes 0..at XOR to 0.
void SealCheck(std::vector<std::uint8_t>& block, std::size_t at) {
    std::uint8_t x = 0;
    for (std::size_t i = 0; i < at; ++i) x ^= block[i];
    block[at] = x;
}

// Places the parts after the header and its entry table; entries {kind, offset}.
void PlaceEntries(std::vector<std::uint8_t>& block, std::size_t tableAt,
                  const std::vector<std::vector<std::uint8_t>>& parts) {
    std::size_t at = tableAt + 2 + 3 * parts.size();
    block[tableAt] = 0;
    block[tableAt + 1] = static_cast<std::uint8_t>(parts.size());
    for (std::size_t i = 0; i < parts.size(); ++i) {
        std::uint8_t* entry = &block[tableAt + 2 + 3 * i];
        entry[0] = static_cast<std::uint8_t>(i + 1);
        entry[1] = static_cast<std::uint8_t>(at >> 8);
        entry[2] = static_cast<std::uint8_t>(at);
        std::memcpy(&block[at], parts[i].data(), parts[i].size());
        at += parts[i].size();
    }
}

std::vector<std::uint8_t> DirectoryHeaderStart(std::uint16_t version) {
    std::vector<std::uint8_t> h;
    PutU16(h, version);
    PutU16(h, 1);    // word A
    PutU16(h, 512);  // word B: the block's length
    for (std::uint8_t i = 0; i < 10; ++i) h.push_back(i);
    return h;
}

}  // namespace

SimDevice::SimDevice(const DeviceDescription& description, const std::string& path)
    : description_(description), memory_(kMemorySize, 0) {
    switch (description_.kind) {
    case Kind::Probe:
        typeCode_ = kTypeProbe;
        word_ = 0x0102;
        if (description_.designation.empty()) description_.designation = "PW probe";
        break;
    case Kind::Camera:
        typeCode_ = kTypeCamera;
        word_ = 0x0106;
        if (description_.designation.empty()) description_.designation = "PW camera";
        break;
    default:
        typeCode_ = kTypeMultiplexer;
        word_ = 0x0103;
        if (description_.designation.empty()) description_.designation = "Multiplexer";
        ports_.resize(description_.ports);
        break;
    }
    if (description_.typeCode >= 0) typeCode_ = static_cast<std::uint8_t>(description_.typeCode);
    if (description_.word >= 0) word_ = static_cast<std::uint16_t>(description_.word);
    // Default identifier number: 100000 plus the path's digits ("1/3/2" gives 100132).
    std::uint32_t digits = 0;
    for (char c : path)
        if (c >= '0' && c <= '9') digits = (digits * 10 + static_cast<std::uint32_t>(c - '0')) % 10000000;
    number_ = (100000 + digits) & 0xFFFFFF;
    if (description_.number >= 0) number_ = static_cast<std::uint32_t>(description_.number) & 0xFFFFFF;
    Compose(path);
}

void SimDevice::Compose(const std::string& /*path*/) {
    const DeviceDescription& d = description_;
    records_[2] = IdentityStrings("Korvex", d.designation);
    if (d.kind == Kind::Probe) {
        records_[1] = PhysicalInformationRecord(d.minHz, d.maxHz, d.gyro);
        if (d.hall) {
            capability_ |= 1;
            records_[8] = HallRecord();
            records_[9] = HallReading(d.hallTesla);
        }
        mapWord_ = d.memory == MemoryLayout::Single ? 0x0100 : 0x0200;
        if (d.memory == MemoryLayout::Blank) return;
        std::vector<std::uint8_t> header = DirectoryHeaderStart(2);
        header.push_back(0);
        std::memcpy(memory_.data(), header.data(), header.size());
        SealCheck(memory_, 16);
        PlaceEntries(memory_, 17, {records_[2], records_[1], HallRecord()});
    } else if (d.kind == Kind::Camera) {
        records_[1] = CameraRecord(d.minHz, d.maxHz);
        mapWord_ = 0x0200;
        std::vector<std::uint8_t> header = DirectoryHeaderStart(1);
        std::vector<std::uint8_t> id = IdentifierBytes();
        header.insert(header.end(), id.begin(), id.end());
        header.push_back(0);
        std::memcpy(memory_.data(), header.data(), header.size());
        SealCheck(memory_, 28);
        std::vector<std::uint8_t> headMap{static_cast<std::uint8_t>(d.heads)};
        // At most three head records fit the 512-byte directory; further heads share them.
        const unsigned recordCount = std::min(d.heads, 3u);
        std::vector<std::uint8_t> records{static_cast<std::uint8_t>(recordCount)};
        for (unsigned h = 0; h < d.heads; ++h) {
            headMap.push_back(static_cast<std::uint8_t>(h + 1));
            headMap.push_back(static_cast<std::uint8_t>(h % recordCount));
        }
        for (unsigned r = 0; r < recordCount; ++r) {
            std::vector<std::uint8_t> rec = PhysicalInformationRecord(d.minHz, d.maxHz, d.gyro);
            records.insert(records.end(), rec.begin(), rec.end());
        }
        std::vector<std::uint8_t> block{1};
        for (double v : {1.0, 2.0, 3.0}) PutDouble(block, v);
        const std::string text = "camera";
        block.push_back(static_cast<std::uint8_t>(text.size()));
        block.insert(block.end(), text.begin(), text.end());
        PutDouble(block, 4.0);
        block.push_back(2);
        PutU16(block, 7);
        PutU16(block, 8);
        PlaceEntries(memory_, 29,
                     {records_[2], headMap, {2, 0xA1, 0xA2}, {1, 0xB1}, block, records});
    }
}

std::vector<std::uint8_t> SimDevice::IdentifierBytes() const {
    std::vector<std::uint8_t> out;
    PutU16(out, 1);
    out.push_back(typeCode_);
    PutU16(out, word_);
    PutU24(out, number_);
    PutU32(out, capability_);
    return out;
}

SimDevice* SimDevice::Port(unsigned port) const {
    if (port == 0 || port > ports_.size()) return nullptr;
    return ports_[port - 1].get();
}

bool SimDevice::SetPort(unsigned port, std::unique_ptr<SimDevice> device) {
    if (port == 0 || port > ports_.size()) return false;
    ports_[port - 1] = std::move(device);
    return true;
}

unsigned SimDevice::HeadCount() const {
    return description_.kind == Kind::Camera ? description_.heads : 0;
}

void SimDevice::SetRecord(std::uint8_t selector, const std::vector<std::uint8_t>& bytes) {
    records_[selector] = bytes;
}

void SimDevice::SetHallTesla(const std::array<double, 3>& tesla) {
    description_.hallTesla = tesla;
    if (capability_ & 1) records_[9] = HallReading(tesla);
}

std::vector<std::uint8_t> SimDevice::Written(std::uint8_t selector) const {
    auto it = written_.find(selector);
    return it == written_.end() ? std::vector<std::uint8_t>{} : it->second;
}

bool SimDevice::ReadSelector(std::uint8_t selector, std::vector<std::uint8_t>& data) {
    data.clear();
    if (selector == 11) {
        PutU16(data, mapWord_);
        return true;
    }
    if (selector == 12) {
        const std::uint16_t n = std::min(windowChunk_, windowRest_);
        data.assign(memory_.begin() + windowAddress_, memory_.begin() + windowAddress_ + n);
        windowAddress_ = static_cast<std::uint16_t>(windowAddress_ + n);
        windowRest_ = static_cast<std::uint16_t>(windowRest_ - n);
        return true;
    }
    if (selector == 3) {
        if (description_.kind != Kind::Multiplexer) return false;
        auto it = records_.find(3);
        if (it != records_.end()) {
            data = it->second;
            return true;
        }
        data.push_back(0);
        data.push_back(static_cast<std::uint8_t>(ports_.size()));
        for (const auto& port : ports_) {
            if (port) {
                std::vector<std::uint8_t> id = port->IdentifierBytes();
                data.insert(data.end(), id.begin(), id.end());
            } else {
                data.insert(data.end(), 12, 0);
            }
        }
        return true;
    }
    auto it = records_.find(selector);
    if (it == records_.end()) return false;
    data = it->second;
    return true;
}

bool SimDevice::WriteSelector(std::uint8_t selector, const std::vector<std::uint8_t>& data,
                              bool& stored) {
    stored = false;
    switch (selector) {
    case 7:
        if (data.size() != 8) return false;
        break;
    case 15:
        if (data.size() != 2) return false;
        break;
    case 13:
        if (data.empty() || data.size() != 1u + 2u * data[0]) return false;
        break;
    case 12: {
        if (data.size() < 4) return false;
        const std::uint16_t address = static_cast<std::uint16_t>(data[0] << 8 | data[1]);
        const std::uint16_t length = static_cast<std::uint16_t>(data[2] << 8 | data[3]);
        if (data.size() == 4) {
            if (std::size_t(address) + length > kMemorySize) return false;
            windowAddress_ = address;
            windowRest_ = length;
            return true;
        }
        const std::size_t n = data.size() - 4;
        if (n != length || address + n > kMemorySize) return false;
        std::memcpy(&memory_[address], &data[4], n);
        stored = true;
        return true;
    }
    default:
        return false;
    }
    written_[selector] = data;
    return true;
}

}  // namespace periph
}  // namespace sim
