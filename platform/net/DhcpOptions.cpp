#include "platform/net/DhcpOptions.h"

#include <cstring>

namespace platform::net {

bool WalkDhcpOptions(const std::uint8_t* area, std::size_t size,
                     const std::function<bool(const DhcpOption&)>& visit)
{
    if (area == nullptr || size < sizeof DhcpMagicCookie ||
        std::memcmp(area, DhcpMagicCookie, sizeof DhcpMagicCookie) != 0)
        return false;
    std::size_t at = sizeof DhcpMagicCookie;
    while (at < size) {
        const std::uint8_t code = area[at];
        if (code == OptEnd) return true;
        if (code == OptPad) {
            ++at;
            continue;
        }
        if (at + 1 >= size) return false;
        const std::uint8_t length = area[at + 1];
        if (at + 2 + length > size) return false;
        if (!visit(DhcpOption{code, length, area + at + 2})) return false;
        at += 2u + length;
    }
    return false;
}

bool FindDhcpOption(const std::uint8_t* area, std::size_t size, std::uint8_t code, DhcpOption& out)
{
    bool found = false;
    WalkDhcpOptions(area, size, [&](const DhcpOption& option) {
        if (option.code != code) return true;
        out = option;
        found = true;
        return false;
    });
    return found;
}

bool FindDhcpAddress(const std::uint8_t* area, std::size_t size, std::uint8_t code, std::uint32_t& out)
{
    DhcpOption option{};
    if (!FindDhcpOption(area, size, code, option) || option.length < 4) return false;
    std::memcpy(&out, option.data, 4);
    return true;
}

bool FindDhcpWord(const std::uint8_t* area, std::size_t size, std::uint8_t code, std::uint32_t& out)
{
    DhcpOption option{};
    if (!FindDhcpOption(area, size, code, option) || option.length != 4) return false;
    std::memcpy(&out, option.data, 4);
    return true;
}

DhcpOptionWriter::DhcpOptionWriter(std::uint8_t* area, std::size_t size) : area_(area), size_(size)
{
    if (size_ < sizeof DhcpMagicCookie + 1) {
        ok_ = false;
        return;
    }
    std::memcpy(area_, DhcpMagicCookie, sizeof DhcpMagicCookie);
    used_ = sizeof DhcpMagicCookie;
}

bool DhcpOptionWriter::Add(std::uint8_t code, const void* data, std::size_t length)
{
    if (!ok_ || length > 255 || used_ + 2 + length + 1 > size_) return ok_ = false;
    area_[used_] = code;
    area_[used_ + 1] = static_cast<std::uint8_t>(length);
    if (length > 0) std::memcpy(area_ + used_ + 2, data, length);
    used_ += 2 + length;
    return true;
}

bool DhcpOptionWriter::AddByte(std::uint8_t code, std::uint8_t value) { return Add(code, &value, 1); }

bool DhcpOptionWriter::AddAddress(std::uint8_t code, std::uint32_t networkOrder)
{
    return Add(code, &networkOrder, 4);
}

bool DhcpOptionWriter::End()
{
    if (!ok_ || used_ >= size_) return ok_ = false;
    area_[used_++] = OptEnd;
    std::memset(area_ + used_, 0, size_ - used_);
    return true;
}

}  // namespace platform::net
