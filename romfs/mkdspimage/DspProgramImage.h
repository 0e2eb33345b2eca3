// The DSP program image the firmware loads from /romfs/Pulsed_Wave_Strip.out.
//
// The simulated DSP never sees the COFF headers, only its memory. The image therefore
// carries an 8-word program descriptor at DSP address 0, which the DSP checks before it
// starts the program on the first DSPINT after a reset:
//   word 0 magic 0x4B565844, 1 layout (1), 2 program version major, 3 minor,
//   4 start address of the checked block, 5 its length in words, 6 the 32-bit sum of its
//   words, 7 the XOR of words 0-6.
//
// Sections, in file order:
//   0 ".text" at 0: the descriptor, then 2 x 4096 + 100 bytes of code;
//   1 ".checked_block" (a long name) at 0x80000000, external memory: the checked block,
//     then a 10-byte tail (two more words and two bytes that a loader leaves out);
//   2 ".bss": no raw data, not loaded;
//   3 ".cinit": copy flag, not loaded (placed over the descriptor, which it would spoil);
//   4 ".empty": a text section of size 0.
#pragma once

#include <array>
#include <cstdint>

#include "romfs/mkdspimage/CoffWriter.h"

namespace mkdspimage {

constexpr std::uint32_t DescriptorMagic = 0x4B565844;
constexpr std::uint32_t DescriptorLayout = 1;
constexpr std::uint32_t DescriptorAddress = 0x00000000;
constexpr std::uint32_t CheckedBlockAddress = 0x80000000;

using ProgramDescriptor = std::array<std::uint32_t, 8>;

// A descriptor with its check word.
ProgramDescriptor MakeDescriptor(std::uint32_t major, std::uint32_t minor, std::uint32_t start,
                                 std::uint32_t lengthWords, std::uint32_t sum);

struct ProgramOptions {
    std::uint32_t major = 2;
    std::uint32_t minor = 5;
    std::uint32_t blockWords = 1536;  // one full 4096-byte chunk and a shorter one
    std::uint32_t seed = 0x1234567u;
};

// The image's COFF description (sections as listed above).
CoffImage MakeProgramImage(const ProgramOptions& options = ProgramOptions());

// The words of the checked block of an image made with these options.
std::vector<std::uint32_t> CheckedBlockWords(const ProgramOptions& options = ProgramOptions());

}  // namespace mkdspimage
