// A session's input or response descriptor: the user's buffer, the transport's internal
// buffer when it wants one, and the progress of the message through the transport.
//
// The transport works on Buffer(): its window [start, end) is the chunk armed for the
// next transfer (to fill for input, to send for a response), in offsets of whichever
// storage carries the message: the internal buffer, or the user's buffer attached as
// outside storage. An input message received into the internal buffer is copied to the
// user's buffer when it completes, never past the user's buffer.
#pragma once

#include <cstdint>

#include "engine/buffer/ByteBuffer.h"

namespace Korvex {

class CMessageDescriptor {
public:
    enum Kind : std::uint32_t { Input = 1, Response = 2 };

    // Status 0, or 0x543F0 when the user-buffer view could not be made.
    CMessageDescriptor(Kind kind, std::uint32_t* status);
    ~CMessageDescriptor();
    CMessageDescriptor(const CMessageDescriptor&) = delete;
    CMessageDescriptor& operator=(const CMessageDescriptor&) = delete;

    Kind GetKind() const { return m_kind; }

    // Gives the descriptor an internal buffer of size bytes (0: none). An existing one of
    // that size is kept, another one is freed first. 0x543F0 when it cannot be allocated
    // (the descriptor is then without one).
    void SetInternalBuffer(std::uint32_t size, std::uint32_t* status);
    CByteBuffer* GetInternalBuffer() const { return m_internal; }

    // Posts the user's input buffer: requested = size, or min(size, internal size) with an
    // internal buffer. 0x54342 when the view cannot take it.
    void PostInput(std::uint8_t* data, std::uint32_t size, std::uint32_t* status);
    // Posts a response of count bytes; it is copied into the internal buffer when it fits.
    void PostResponse(const std::uint8_t* data, std::uint32_t count, bool end,
                      std::uint32_t* status);
    // Forgets the user's buffer.
    void Clear();

    bool IsValid() const { return m_valid != 0; }
    std::uint8_t* GetUserData() const { return m_userData; }
    std::uint32_t GetUserSize() const { return m_userSize; }
    std::uint32_t GetRequested() const { return m_requested; }
    std::uint32_t GetDone() const { return m_done; }
    bool GetEnd() const { return m_end != 0; }
    void SetEnd(bool end) { m_end = end ? 1 : 0; }

    // The buffer the transport works on (null while no user buffer is posted).
    CByteBuffer* Buffer() const { return m_active; }
    // Window := [done, requested) of the active storage.
    void OpenWindow();
    // done += count (count must not exceed the bytes left).
    void AddDone(std::uint32_t count) { m_done += count; }
    bool Complete() const { return m_done >= m_requested; }
    // Input: copies the bytes received into the internal buffer to the user's buffer.
    void CopyToUser();

    // Index of the first occurrence of value in [start, start + length) of the active
    // storage, relative to start; false when there is none.
    bool FindByte(std::uint8_t value, std::uint32_t start, std::uint32_t length,
                  std::uint32_t* index) const;

private:
    Kind m_kind;
    std::uint8_t m_valid = 0;
    std::uint8_t* m_userData = nullptr;
    std::uint32_t m_userSize = 0;
    CByteBuffer* m_user = nullptr;      // view on the user's buffer
    CByteBuffer* m_internal = nullptr;  // owned internal buffer, or null
    CByteBuffer* m_active = nullptr;    // m_user or m_internal while a buffer is posted
    std::uint32_t m_requested = 0;
    std::uint32_t m_done = 0;
    std::uint8_t m_end = 0;
};

} // namespace Korvex
