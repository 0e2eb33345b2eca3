// The engine's byte buffer: a window [start, end) over a block of storage with a cursor
// inside it, chainable so that one transfer spans several buffers.
//
// The storage is either owned (allocated by the buffer at construction) or outside
// storage attached by a user; the buffer never frees outside storage. The block
// descriptor {storage, length} always exists once construction succeeded; users that
// hand the storage to the hardware or to another object read it from there.
//
// Invariant kept by every setter: start <= cursor <= end <= length. Setters that would
// break it change nothing and report 0x54344.
//
// Buffers of a chain do not own each other; the user that builds a chain unlinks it again
// when the transfer ends. No locking: the owner serialises access.
#pragma once

#include <cstdint>

namespace Korvex {

class CByteBuffer {
public:
    // {storage address, length in bytes} of the current storage.
    struct BlockDescriptor {
        std::uint8_t* storage;
        std::uint32_t length;
    };

    // An object the buffer owns and destroys with itself.
    class AttachedObject {
    public:
        virtual ~AttachedObject() = default;
    };

    // Owned storage of capacity bytes (0 is valid: no storage, a 0-byte window);
    // window [0, capacity), cursor 0. ConstructionFailed() is 1 when an allocation failed.
    explicit CByteBuffer(std::uint32_t capacity);
    // No storage; such a buffer only receives outside storage.
    CByteBuffer();
    // Destroys the attached object, frees owned storage and the block descriptor (whatever
    // of them exists, also after a failed construction). Outside storage is left untouched.
    ~CByteBuffer();
    CByteBuffer(const CByteBuffer&) = delete;
    CByteBuffer& operator=(const CByteBuffer&) = delete;

    // 1 until construction has succeeded, then 0.
    std::uint32_t ConstructionFailed() const { return m_constructionFailed; }

    // Attaches storage that belongs to somebody else: length := length, window and cursor
    // 0; the user then sets the window. Refused (0x54342, nothing changed) on a buffer
    // with owned storage, after a failed construction, and for null storage with a
    // non-zero length.
    void AttachStorage(std::uint8_t* storage, std::uint32_t length, std::uint32_t* status);
    // Drops attached outside storage: descriptor {null, 0}, length, window and cursor 0.
    // Owned storage is never dropped: on such a buffer Detach does nothing.
    void Detach();

    // Null after a failed construction.
    const BlockDescriptor* GetBlockDescriptor() const { return m_descriptor; }
    // The storage (null when there is none).
    std::uint8_t* GetStorage() const;
    std::uint32_t GetLength() const { return m_length; }
    std::uint32_t HasOutsideStorage() const { return m_outsideStorage; }

    std::uint32_t GetStart() const { return m_start; }
    std::uint32_t GetEnd() const { return m_end; }
    std::uint32_t GetCursor() const { return m_cursor; }
    // end - start.
    std::uint32_t BytesInWindow() const { return m_end - m_start; }
    // end - cursor.
    std::uint32_t BytesLeft() const { return m_end - m_cursor; }

    // Window [start, end), cursor := start. Refused (0x54344, nothing changed) when
    // start > end or end > length.
    void SetWindow(std::uint32_t start, std::uint32_t end, std::uint32_t* status);
    // Moves the end only. Refused (0x54344) when end > length or end < cursor.
    void SetEnd(std::uint32_t end, std::uint32_t* status);
    // Refused (0x54344) when the cursor would lie outside [start, end].
    void SetCursor(std::uint32_t cursor, std::uint32_t* status);
    // cursor := start.
    void Rewind() { m_cursor = m_start; }

    // Takes ownership of object (null: none); a previously attached object is destroyed.
    void SetAttachedObject(AttachedObject* object);
    AttachedObject* GetAttachedObject() const { return m_attachedObject; }

    CByteBuffer* GetNext() const { return m_next; }
    void SetNext(CByteBuffer* next) { m_next = next; }

    // Searches the storage range [from, min(from + count, length)) for value; when found,
    // *index := its offset relative to from and the answer is true. A count of 0, or a
    // from at or beyond length, finds nothing.
    bool Find(std::uint8_t value, std::uint32_t from, std::uint32_t count,
              std::uint32_t* index) const;

private:
    std::uint32_t m_constructionFailed = 1;
    std::uint32_t m_length = 0;
    std::uint8_t* m_ownedStorage = nullptr;
    std::uint32_t m_outsideStorage = 0;
    BlockDescriptor* m_descriptor = nullptr;
    AttachedObject* m_attachedObject = nullptr;
    std::uint32_t m_start = 0;
    std::uint32_t m_end = 0;
    std::uint32_t m_cursor = 0;
    CByteBuffer* m_next = nullptr;
};

} // namespace Korvex
