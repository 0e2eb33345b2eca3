// The address of one measurement channel through multiplexers and pulsed cameras: the
// channel number at each level, first level first, and the number of valid levels.
#pragma once

#include <cstdint>
#include <stdexcept>

namespace Korvex {

class CKorvexChannel {
public:
    static constexpr unsigned MaxLevels = 5;

    // Level i of the address; i must be below the level count.
    std::uint8_t& operator[](unsigned i)
    {
        Check(i);
        return level[i];
    }
    const std::uint8_t& operator[](unsigned i) const
    {
        Check(i);
        return level[i];
    }

    // Appends v as the next level; an address full of levels throws like a bad access.
    void AddLevel(std::uint8_t v)
    {
        if (count >= MaxLevels) Fail();
        level[count++] = v;
    }

    // Same layout as the first six bytes of a peripheral's name: five levels, the count.
    std::uint8_t level[MaxLevels] = {};
    std::uint8_t count = 0;

private:
    void Check(unsigned i) const
    {
        // The array bound too: a count above MaxLevels must not read past the levels.
        if (i >= count || i >= MaxLevels) Fail();
    }
    [[noreturn]] static void Fail()
    {
        throw std::out_of_range("Access to a CKorvexChannel out of bounds");
    }
};

static_assert(sizeof(CKorvexChannel) == 6, "five levels and a count");

}  // namespace Korvex
