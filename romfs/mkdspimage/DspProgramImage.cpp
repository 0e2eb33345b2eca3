#include "romfs/mkdspimage/DspProgramImage.h"

namespace mkdspimage {

namespace {

// A deterministic stand-in for program code and data.
struct Pattern {
    std::uint32_t state;
    std::uint32_t Next() {
        state = state * 1664525u + 1013904223u;
        return state;
    }
};

}  // namespace

ProgramDescriptor MakeDescriptor(std::uint32_t major, std::uint32_t minor, std::uint32_t start,
                                 std::uint32_t lengthWords, std::uint32_t sum) {
    ProgramDescriptor d{DescriptorMagic, DescriptorLayout, major, minor, start, lengthWords, sum, 0};
    for (int i = 0; i < 7; ++i) d[7] ^= d[i];
    return d;
}

std::vector<std::uint32_t> CheckedBlockWords(const ProgramOptions& options) {
    Pattern p{options.seed};
    std::vector<std::uint32_t> words(options.blockWords);
    for (auto& w : words) w = p.Next();
    return words;
}

CoffImage MakeProgramImage(const ProgramOptions& options) {
    const std::vector<std::uint32_t> block = CheckedBlockWords(options);
    std::uint32_t sum = 0;
    for (std::uint32_t w : block) sum += w;
    const ProgramDescriptor descriptor =
        MakeDescriptor(options.major, options.minor, CheckedBlockAddress, options.blockWords, sum);

    CoffImage image;
    image.entryPoint = DescriptorAddress + 8 * 4;

    CoffSection text{".text", DescriptorAddress, DescriptorAddress, SectionText, {}, 0, 0};
    for (std::uint32_t w : descriptor) AppendWord(text.data, w);
    Pattern code{~options.seed};
    for (std::uint32_t i = 0; i < (2 * 4096 + 100) / 4; ++i) AppendWord(text.data, code.Next());

    CoffSection data{".checked_block", CheckedBlockAddress, CheckedBlockAddress, SectionData, {}, 0, 0};
    for (std::uint32_t w : block) AppendWord(data.data, w);
    for (std::uint8_t b : {0x54, 0x41, 0x49, 0x4C, 0x2D, 0x2D, 0x2D, 0x2D, 0xEE, 0xFF})
        data.data.push_back(b);

    CoffSection bss{".bss", 0x00004000, 0x00004000, SectionBss, {}, 0x400, 0};

    CoffSection cinit{".cinit", DescriptorAddress, DescriptorAddress, SectionCopy | SectionData, {}, 0, 0};
    for (int i = 0; i < 8; ++i) AppendWord(cinit.data, 0xFFFFFFFFu);

    CoffSection empty{".empty", 0x00006000, 0x00006000, SectionText, {}, 0, 0};

    image.sections = {text, data, bss, cinit, empty};
    return image;
}

}  // namespace mkdspimage
