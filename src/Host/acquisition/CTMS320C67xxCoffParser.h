// Reader of TI COFF (version 2) images for the TMS320C67xx DSP. It checks the headers,
// walks the section headers in file order and hands the data of every loadable section,
// in blocks of at most 0x400 words, to the load callback of the subclass. Every failure is
// a thrown CCOFFParserException.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace Korvex {

class CTMS320C67xxCoffParser {
public:
    // Binary reads of the image file through the board's file layer.
    class CCoffFileStreamer {
    public:
        CCoffFileStreamer() = default;
        virtual ~CCoffFileStreamer();
        CCoffFileStreamer(const CCoffFileStreamer&) = delete;
        CCoffFileStreamer& operator=(const CCoffFileStreamer&) = delete;

        // Opens the file for binary reading; the count of unread bytes becomes its size.
        void Open(const char* path);
        void Close();
        // Exactly bytes bytes, or throws.
        void Read(void* buffer, std::size_t bytes);
        std::uint8_t ReadByte();
        // Moves to an absolute position; returns the position before.
        std::uint64_t Seek(std::uint64_t position);
        // count little-endian words at position; the stream position is left unchanged.
        void ReadWordsAt(std::uint64_t position, std::uint32_t* words, std::size_t count);
        std::uint64_t Remaining() const { return m_remaining; }

    private:
        std::FILE* m_file = nullptr;
        std::uint64_t m_remaining = 0;
    };

    static constexpr std::uint16_t TargetId = 0x0099;
    static constexpr std::uint16_t OptionalHeaderMagic = 0x0108;
    static constexpr std::uint32_t ChunkWords = 0x400;
    static constexpr std::uint32_t ChunkBytes = ChunkWords * 4;

    CTMS320C67xxCoffParser();
    virtual ~CTMS320C67xxCoffParser();
    CTMS320C67xxCoffParser(const CTMS320C67xxCoffParser&) = delete;
    CTMS320C67xxCoffParser& operator=(const CTMS320C67xxCoffParser&) = delete;

    // Reads and loads the whole image; true when done (failures are thrown).
    bool Load(const char* path);

protected:
    // Stores one block of section data at a DSP address; true when stored and verified.
    virtual bool LoadBlock(std::uint32_t address, const std::vector<std::uint32_t>& words) = 0;

private:
    struct FileHeader {
        std::uint16_t versionId;
        std::uint16_t sectionCount;
        std::int32_t timeStamp;
        std::int32_t symbolTableOffset;
        std::int32_t symbolCount;
        std::uint16_t optionalHeaderSize;
        std::uint16_t flags;
        std::uint16_t targetId;
    };
    struct OptionalHeader {
        std::uint16_t magic;
        std::uint16_t versionStamp;
        std::int32_t codeSize;
        std::int32_t initialisedDataSize;
        std::int32_t uninitialisedDataSize;
        std::int32_t entryPoint;
        std::int32_t codeStart;
        std::int32_t dataStart;
    };
    struct SectionHeader {
        std::string name;
        std::uint32_t physicalAddress;
        std::uint32_t virtualAddress;
        std::uint32_t size;
        std::uint32_t rawDataOffset;
        std::uint32_t relocationOffset;
        std::uint32_t relocationCount;
        std::uint32_t flags;
        std::uint16_t page;
    };

    void ReadFileHeader();
    void ReadOptionalHeader();
    SectionHeader ReadSectionHeader();
    std::string ReadSectionName();
    void LoadSection(const SectionHeader& section);

    CCoffFileStreamer m_streamer;
    FileHeader m_fileHeader{};
    OptionalHeader m_optionalHeader{};
    std::uint64_t m_stringTablePosition = 0;
    std::vector<std::uint32_t> m_chunk;
};

}  // namespace Korvex
