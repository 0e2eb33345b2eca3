// Hand-written XDR for the RPC server: every integer, enumeration, boolean, unsigned short and
// single character is one 32-bit big-endian word; an opaque or a string is a length word and
// its bytes, padded with zero bytes to a multiple of 4.
//
// CXdrReader never reads past the bytes it was given: every read that would cross the end
// fails (returns false) and leaves the position where it was. CXdrWriter never writes past
// its buffer: a write that does not fit fails and marks the writer as overflowed.
#pragma once

#include <cstdint>
#include <cstring>

inline void XdrPutWord(std::uint8_t* at, std::uint32_t value) {
    at[0] = static_cast<std::uint8_t>(value >> 24);
    at[1] = static_cast<std::uint8_t>(value >> 16);
    at[2] = static_cast<std::uint8_t>(value >> 8);
    at[3] = static_cast<std::uint8_t>(value);
}

inline std::uint32_t XdrGetWord(const std::uint8_t* at) {
    return (static_cast<std::uint32_t>(at[0]) << 24) | (static_cast<std::uint32_t>(at[1]) << 16) |
           (static_cast<std::uint32_t>(at[2]) << 8) | static_cast<std::uint32_t>(at[3]);
}

// Bytes of an opaque body of length bytes, padding included.
inline std::uint32_t XdrPadded(std::uint32_t length) { return (length + 3u) & ~3u; }

class CXdrReader {
public:
    CXdrReader(const std::uint8_t* data, std::uint32_t length) : data(data), length(length), position(0) {}

    std::uint32_t Remaining() const { return length - position; }
    std::uint32_t Position() const { return position; }
    const std::uint8_t* Current() const { return data + position; }

    bool Word(std::uint32_t* value) {
        if (Remaining() < 4) {
            return false;
        }
        *value = XdrGetWord(data + position);
        position += 4;
        return true;
    }

    // The four bytes of a word as they are (a transaction id is echoed unconverted).
    bool RawWord(std::uint32_t* value) {
        if (Remaining() < 4) {
            return false;
        }
        std::memcpy(value, data + position, 4);
        position += 4;
        return true;
    }

    // A length word (at most maxLength) and that many bytes with their padding.
    bool Opaque(const std::uint8_t** bytes, std::uint32_t* bytesLength, std::uint32_t maxLength) {
        if (Remaining() < 4) {
            return false;
        }
        const std::uint32_t count = XdrGetWord(data + position);
        if (count > maxLength || XdrPadded(count) > Remaining() - 4 || XdrPadded(count) < count) {
            return false;
        }
        *bytes = data + position + 4;
        *bytesLength = count;
        position += 4 + XdrPadded(count);
        return true;
    }

    bool Skip(std::uint32_t count) {
        if (count > Remaining()) {
            return false;
        }
        position += count;
        return true;
    }

private:
    const std::uint8_t* data;
    std::uint32_t length;
    std::uint32_t position;
};

class CXdrWriter {
public:
    CXdrWriter(std::uint8_t* buffer, std::uint32_t capacity)
        : buffer(buffer), capacity(capacity), length(0), overflowed(false) {}

    std::uint32_t Length() const { return length; }
    bool Overflowed() const { return overflowed; }

    bool Word(std::uint32_t value) {
        if (!Fits(4)) {
            return false;
        }
        XdrPutWord(buffer + length, value);
        length += 4;
        return true;
    }

    // The four bytes of a word of CXdrReader::RawWord, unconverted.
    bool RawWord(std::uint32_t value) {
        if (!Fits(4)) {
            return false;
        }
        std::memcpy(buffer + length, &value, 4);
        length += 4;
        return true;
    }

    // A length word, the bytes and zero padding to a multiple of 4.
    bool Opaque(const void* bytes, std::uint32_t count) {
        if (XdrPadded(count) < count || !Fits(4 + XdrPadded(count))) {
            return false;
        }
        XdrPutWord(buffer + length, count);
        if (count > 0) {
            std::memcpy(buffer + length + 4, bytes, count);
        }
        std::memset(buffer + length + 4 + count, 0, XdrPadded(count) - count);
        length += 4 + XdrPadded(count);
        return true;
    }

private:
    bool Fits(std::uint32_t count) {
        if (overflowed || count > capacity - length) {
            overflowed = true;
            return false;
        }
        return true;
    }

    std::uint8_t* buffer;
    std::uint32_t capacity;
    std::uint32_t length;
    bool overflowed;
};
