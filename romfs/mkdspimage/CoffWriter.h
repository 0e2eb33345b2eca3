// Writer of TI COFF (version 2) images for the C67xx DSP: file header, optional header,
// section headers, raw section data, a symbol table and the string table of long names.
// Everything is little-endian. Fields that a reader must reject (target id, optional-header
// magic, virtual addresses) can be set freely so that readers can be tried on bad images.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace mkdspimage {

constexpr std::uint16_t CoffVersionId = 0x00C2;
constexpr std::uint16_t C6000TargetId = 0x0099;
constexpr std::uint16_t OptionalHeaderMagic = 0x0108;
constexpr std::uint32_t FileHeaderBytes = 22;
constexpr std::uint32_t OptionalHeaderBytes = 28;
constexpr std::uint32_t SectionHeaderBytes = 48;
constexpr std::uint32_t SymbolEntryBytes = 18;

// Section flags.
constexpr std::uint32_t SectionCopy = 0x10;
constexpr std::uint32_t SectionText = 0x20;
constexpr std::uint32_t SectionData = 0x40;
constexpr std::uint32_t SectionBss = 0x80;

struct CoffSection {
    std::string name;                 // more than 8 characters: stored in the string table
    std::uint32_t physicalAddress = 0;
    std::uint32_t virtualAddress = 0;
    std::uint32_t flags = 0;
    std::vector<std::uint8_t> data;   // raw data written to the file
    std::uint32_t size = 0;           // size field when data is empty (no raw data)
    std::uint16_t page = 0;
};

struct CoffImage {
    std::uint16_t versionId = CoffVersionId;
    std::uint16_t targetId = C6000TargetId;
    std::int32_t timeStamp = 0;
    std::uint16_t fileFlags = 0x0103;   // relocations stripped, executable, little-endian
    std::uint16_t optionalHeaderMagic = OptionalHeaderMagic;
    std::uint16_t optionalHeaderSizeField = OptionalHeaderBytes;  // the header is always written
    std::uint32_t entryPoint = 0;
    std::uint32_t symbolCount = 2;      // placeholder symbols before the string table
    std::uint32_t firstStringOffset = 4;  // offset of the first long name (at least 4)
    std::vector<CoffSection> sections;
};

// The file's bytes.
std::vector<std::uint8_t> WriteCoff(const CoffImage& image);

// Writes bytes to a host file; false on any failure.
bool SaveFile(const std::string& path, const std::vector<std::uint8_t>& bytes);

// Appends a 32-bit word little-endian.
void AppendWord(std::vector<std::uint8_t>& out, std::uint32_t word);

}  // namespace mkdspimage
