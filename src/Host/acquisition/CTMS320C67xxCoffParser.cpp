#include "Host/acquisition/CTMS320C67xxCoffParser.h"

#include <sys/types.h>

#include <cstdint>
#include <limits>

#include "Host/acquisition/AcqExceptions.h"
#include "platform/fs/FileIo.h"

namespace Korvex {

namespace {

std::uint16_t U16(const std::uint8_t* p) {
    return static_cast<std::uint16_t>(p[0] | (p[1] << 8));
}

std::uint32_t U32(const std::uint8_t* p) {
    return static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8) |
           (static_cast<std::uint32_t>(p[2]) << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}

std::int32_t I32(const std::uint8_t* p) { return static_cast<std::int32_t>(U32(p)); }

constexpr std::size_t FileHeaderBytes = 22;
constexpr std::size_t OptionalHeaderBytes = 28;
constexpr std::size_t SectionNameBytes = 8;
constexpr std::size_t SectionFieldBytes = 40;  // the header after its name
constexpr std::uint32_t SymbolEntryBytes = 18;

constexpr std::uint32_t SectionCopy = 0x10;
constexpr std::uint32_t SectionTextOrData = 0x60;

}  // namespace

// ---- CCoffFileStreamer --------------------------------------------------------------------

CTMS320C67xxCoffParser::CCoffFileStreamer::~CCoffFileStreamer() { Close(); }

void CTMS320C67xxCoffParser::CCoffFileStreamer::Open(const char* path) {
    Close();
    m_file = platform::fs::open(path, "rb");
    if (!m_file) throw CCOFFParserException("Cannot open the file.");
    m_remaining = 0;
    if (fseeko(m_file, 0, SEEK_END) == 0) {
        const off_t size = ftello(m_file);
        if (size > 0) m_remaining = static_cast<std::uint64_t>(size);
    }
    if (fseeko(m_file, 0, SEEK_SET) != 0) {
        Close();
        throw CCOFFParserException("Cannot open the file.");
    }
}

void CTMS320C67xxCoffParser::CCoffFileStreamer::Close() {
    if (m_file) std::fclose(m_file);
    m_file = nullptr;
    m_remaining = 0;
}

void CTMS320C67xxCoffParser::CCoffFileStreamer::Read(void* buffer, std::size_t bytes) {
    const std::size_t got = m_file ? std::fread(buffer, 1, bytes, m_file) : 0;
    m_remaining -= got < m_remaining ? got : m_remaining;
    if (got != bytes) throw CCOFFParserException("Cannot read the specified length from file.");
}

std::uint8_t CTMS320C67xxCoffParser::CCoffFileStreamer::ReadByte() {
    const int c = m_file ? std::fgetc(m_file) : EOF;
    if (c == EOF) throw CCOFFParserException("Cannot read from the specified file.");
    if (m_remaining) --m_remaining;
    return static_cast<std::uint8_t>(c);
}

std::uint64_t CTMS320C67xxCoffParser::CCoffFileStreamer::Seek(std::uint64_t position) {
    const off_t previous = m_file ? ftello(m_file) : -1;
    // A seek that does not happen would let the next read take bytes from the wrong place.
    if (previous < 0 || position > static_cast<std::uint64_t>(std::numeric_limits<off_t>::max()) ||
        fseeko(m_file, static_cast<off_t>(position), SEEK_SET) != 0)
        throw CCOFFParserException("Cannot get the current file position.");
    return static_cast<std::uint64_t>(previous);
}

void CTMS320C67xxCoffParser::CCoffFileStreamer::ReadWordsAt(std::uint64_t position,
                                                            std::uint32_t* words,
                                                            std::size_t count) {
    const std::uint64_t back = Seek(position);
    auto* bytes = reinterpret_cast<std::uint8_t*>(words);
    Read(bytes, count * 4);
    for (std::size_t i = 0; i < count; ++i) words[i] = U32(bytes + 4 * i);
    Seek(back);
}

// ---- CTMS320C67xxCoffParser ---------------------------------------------------------------

CTMS320C67xxCoffParser::CTMS320C67xxCoffParser() = default;
CTMS320C67xxCoffParser::~CTMS320C67xxCoffParser() = default;

bool CTMS320C67xxCoffParser::Load(const char* path) {
    m_chunk.reserve(ChunkWords);
    m_streamer.Open(path);

    ReadFileHeader();
    if (m_fileHeader.targetId != TargetId)
        throw CCOFFParserException("COFF file isn't compiled for our DSP target.");
    m_stringTablePosition = static_cast<std::uint64_t>(
        static_cast<std::int64_t>(m_fileHeader.symbolTableOffset) +
        static_cast<std::int64_t>(SymbolEntryBytes) * m_fileHeader.symbolCount);

    ReadOptionalHeader();
    if (m_optionalHeader.magic != OptionalHeaderMagic)
        throw CCOFFParserException("Invalid COFF Magic Number.");

    for (std::uint16_t i = 0; i < m_fileHeader.sectionCount; ++i) {
        const SectionHeader section = ReadSectionHeader();
        if (section.physicalAddress != section.virtualAddress)
            throw CCOFFParserException(
                "Current implementation of the COFF reader doesn't handle virtual addresses.");
        if ((section.flags & SectionTextOrData) != 0 && static_cast<std::int32_t>(section.size) > 0 &&
            (section.flags & SectionCopy) == 0)
            LoadSection(section);
    }

    m_streamer.Close();
    m_fileHeader = FileHeader{};
    m_optionalHeader = OptionalHeader{};
    m_stringTablePosition = 0;
    return true;
}

void CTMS320C67xxCoffParser::ReadFileHeader() {
    std::uint8_t b[FileHeaderBytes];
    m_streamer.Read(b, sizeof b);
    m_fileHeader.versionId = U16(b + 0);
    m_fileHeader.sectionCount = U16(b + 2);
    m_fileHeader.timeStamp = I32(b + 4);
    m_fileHeader.symbolTableOffset = I32(b + 8);
    m_fileHeader.symbolCount = I32(b + 12);
    m_fileHeader.optionalHeaderSize = U16(b + 16);
    m_fileHeader.flags = U16(b + 18);
    m_fileHeader.targetId = U16(b + 20);
}

// Always 28 bytes, whatever the size field of the file header says.
void CTMS320C67xxCoffParser::ReadOptionalHeader() {
    std::uint8_t b[OptionalHeaderBytes];
    m_streamer.Read(b, sizeof b);
    m_optionalHeader.magic = U16(b + 0);
    m_optionalHeader.versionStamp = U16(b + 2);
    m_optionalHeader.codeSize = I32(b + 4);
    m_optionalHeader.initialisedDataSize = I32(b + 8);
    m_optionalHeader.uninitialisedDataSize = I32(b + 12);
    m_optionalHeader.entryPoint = I32(b + 16);
    m_optionalHeader.codeStart = I32(b + 20);
    m_optionalHeader.dataStart = I32(b + 24);
}

CTMS320C67xxCoffParser::SectionHeader CTMS320C67xxCoffParser::ReadSectionHeader() {
    SectionHeader s;
    s.name = ReadSectionName();
    std::uint8_t b[SectionFieldBytes];
    m_streamer.Read(b, sizeof b);
    s.physicalAddress = U32(b + 0);
    s.virtualAddress = U32(b + 4);
    s.size = U32(b + 8);
    s.rawDataOffset = U32(b + 12);
    s.relocationOffset = U32(b + 16);
    // line-number offset (b + 20) skipped
    s.relocationCount = U32(b + 24);
    // line-number count (b + 28) skipped
    s.flags = U32(b + 32);
    // reserved (b + 36) skipped
    s.page = U16(b + 38);
    return s;
}

// Eight bytes: the name up to the first NUL, or, when the first four are zero, a string-table
// offset in the last four where the name ends at a NUL.
std::string CTMS320C67xxCoffParser::ReadSectionName() {
    std::uint8_t b[SectionNameBytes];
    m_streamer.Read(b, sizeof b);
    if (U32(b) != 0) {
        std::string name;
        for (std::uint8_t c : b) {
            if (c == 0) break;
            name.push_back(static_cast<char>(c));
        }
        return name;
    }
    const std::uint64_t back = m_streamer.Seek(m_stringTablePosition + U32(b + 4));
    std::string name;
    for (std::uint8_t c = m_streamer.ReadByte(); c != 0; c = m_streamer.ReadByte())
        name.push_back(static_cast<char>(c));
    m_streamer.Seek(back);
    return name;
}

void CTMS320C67xxCoffParser::LoadSection(const SectionHeader& section) {
    std::uint64_t position = section.rawDataOffset;
    std::uint32_t address = section.physicalAddress;

    for (std::uint32_t chunk = 0; chunk < section.size / ChunkBytes; ++chunk) {
        m_chunk.resize(ChunkWords);
        m_streamer.ReadWordsAt(position, m_chunk.data(), ChunkWords);
        if (!LoadBlock(address, m_chunk)) throw CCOFFParserException("Could not load section.");
        position += ChunkBytes;
        address += ChunkBytes;
    }

    // Bytes beyond the last whole word are not loaded.
    const std::uint32_t tail = (section.size / 4) % ChunkWords;
    if (tail != 0) {
        m_chunk.resize(tail);
        m_streamer.ReadWordsAt(position, m_chunk.data(), tail);
        if (!LoadBlock(address, m_chunk)) throw CCOFFParserException("Could not load section.");
    }
}

}  // namespace Korvex
