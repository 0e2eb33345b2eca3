#include "romfs/mkdspimage/CoffWriter.h"

#include <cstdio>

namespace mkdspimage {

namespace {

void Put16(std::vector<std::uint8_t>& out, std::uint32_t v) {
    out.push_back(static_cast<std::uint8_t>(v));
    out.push_back(static_cast<std::uint8_t>(v >> 8));
}

std::uint32_t SizeOf(const CoffSection& s) {
    return s.data.empty() ? s.size : static_cast<std::uint32_t>(s.data.size());
}

}  // namespace

void AppendWord(std::vector<std::uint8_t>& out, std::uint32_t word) {
    Put16(out, word & 0xFFFF);
    Put16(out, word >> 16);
}

std::vector<std::uint8_t> WriteCoff(const CoffImage& image) {
    const auto count = static_cast<std::uint32_t>(image.sections.size());
    const std::uint32_t headersEnd =
        FileHeaderBytes + OptionalHeaderBytes + SectionHeaderBytes * count;

    // Raw data follow the section headers in section order.
    std::vector<std::uint32_t> rawOffset(count, 0);
    std::uint32_t position = headersEnd;
    for (std::uint32_t i = 0; i < count; ++i) {
        if (image.sections[i].data.empty()) continue;
        rawOffset[i] = position;
        position += static_cast<std::uint32_t>(image.sections[i].data.size());
    }
    const std::uint32_t symbolOffset = position;

    // String table: its size word, padding up to the first name, then the long names.
    std::vector<std::uint8_t> strings(image.firstStringOffset < 4 ? 4 : image.firstStringOffset, 0);
    std::vector<std::uint32_t> nameOffset(count, 0);
    for (std::uint32_t i = 0; i < count; ++i) {
        const std::string& name = image.sections[i].name;
        if (name.size() <= 8) continue;
        nameOffset[i] = static_cast<std::uint32_t>(strings.size());
        strings.insert(strings.end(), name.begin(), name.end());
        strings.push_back(0);
    }
    const auto stringBytes = static_cast<std::uint32_t>(strings.size());
    for (int b = 0; b < 4; ++b) strings[b] = static_cast<std::uint8_t>(stringBytes >> (8 * b));

    std::uint32_t textSize = 0, dataSize = 0, bssSize = 0, textStart = 0, dataStart = 0;
    for (const CoffSection& s : image.sections) {
        if ((s.flags & SectionText) && textSize == 0) textStart = s.physicalAddress;
        if ((s.flags & SectionData) && dataSize == 0) dataStart = s.physicalAddress;
        if (s.flags & SectionText) textSize += SizeOf(s);
        else if (s.flags & SectionData) dataSize += SizeOf(s);
        else if (s.flags & SectionBss) bssSize += SizeOf(s);
    }

    std::vector<std::uint8_t> out;
    // File header.
    Put16(out, image.versionId);
    Put16(out, count);
    AppendWord(out, static_cast<std::uint32_t>(image.timeStamp));
    AppendWord(out, symbolOffset);
    AppendWord(out, image.symbolCount);
    Put16(out, image.optionalHeaderSizeField);
    Put16(out, image.fileFlags);
    Put16(out, image.targetId);
    // Optional header.
    Put16(out, image.optionalHeaderMagic);
    Put16(out, 0x0001);  // version stamp
    AppendWord(out, textSize);
    AppendWord(out, dataSize);
    AppendWord(out, bssSize);
    AppendWord(out, image.entryPoint);
    AppendWord(out, textStart);
    AppendWord(out, dataStart);
    // Section headers.
    for (std::uint32_t i = 0; i < count; ++i) {
        const CoffSection& s = image.sections[i];
        if (s.name.size() > 8) {
            AppendWord(out, 0);
            AppendWord(out, nameOffset[i]);
        } else {
            for (std::size_t c = 0; c < 8; ++c)
                out.push_back(c < s.name.size() ? static_cast<std::uint8_t>(s.name[c]) : 0);
        }
        AppendWord(out, s.physicalAddress);
        AppendWord(out, s.virtualAddress);
        AppendWord(out, SizeOf(s));
        AppendWord(out, rawOffset[i]);
        AppendWord(out, 0);  // relocation entries
        AppendWord(out, 0);  // line-number entries
        AppendWord(out, 0);  // relocation count
        AppendWord(out, 0);  // line-number count
        AppendWord(out, s.flags);
        Put16(out, 0);       // reserved
        Put16(out, s.page);
    }
    for (const CoffSection& s : image.sections) out.insert(out.end(), s.data.begin(), s.data.end());
    // Placeholder symbols: name, value, section number, type, storage class, aux count.
    for (std::uint32_t i = 0; i < image.symbolCount; ++i) {
        char name[9];
        std::snprintf(name, sizeof name, "_sym%u", i % 10000u);
        for (int c = 0; c < 8; ++c) out.push_back(static_cast<std::uint8_t>(name[c]));
        AppendWord(out, image.entryPoint);
        Put16(out, 1);
        Put16(out, 0);
        out.push_back(2);  // external
        out.push_back(0);
    }
    out.insert(out.end(), strings.begin(), strings.end());
    return out;
}

bool SaveFile(const std::string& path, const std::vector<std::uint8_t>& bytes) {
    std::FILE* f = std::fopen(path.c_str(), "wb");
    if (!f) return false;
    const bool written = std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
    return std::fclose(f) == 0 && written;
}

}  // namespace mkdspimage
