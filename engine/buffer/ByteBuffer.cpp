#include "engine/buffer/ByteBuffer.h"

#include "engine/os/Allocator.h"
#include "engine/status/EngineStatus.h"

namespace Korvex {

namespace {

CByteBuffer::BlockDescriptor* NewDescriptor(std::uint8_t* storage, std::uint32_t length)
{
    return EngineNew<CByteBuffer::BlockDescriptor>(CByteBuffer::BlockDescriptor{storage, length});
}

} // namespace

CByteBuffer::CByteBuffer(std::uint32_t capacity)
{
    if (capacity != 0) {
        m_ownedStorage = static_cast<std::uint8_t*>(EngineAllocate(capacity));
        if (m_ownedStorage == nullptr) {
            return;
        }
    }
    m_descriptor = NewDescriptor(m_ownedStorage, capacity);
    if (m_descriptor == nullptr) {
        return;
    }
    m_end = capacity;
    m_length = capacity;
    m_constructionFailed = 0;
}

CByteBuffer::CByteBuffer()
{
    m_descriptor = NewDescriptor(nullptr, 0);
    if (m_descriptor == nullptr) {
        return;
    }
    m_constructionFailed = 0;
}

CByteBuffer::~CByteBuffer()
{
    delete m_attachedObject;
    if (m_descriptor != nullptr) {
        m_descriptor->storage = nullptr;
        m_descriptor->length = 0;
        EngineDelete(m_descriptor);
    }
    EngineFree(m_ownedStorage);
}

void CByteBuffer::AttachStorage(std::uint8_t* storage, std::uint32_t length,
                                std::uint32_t* status)
{
    if (m_constructionFailed != 0 || m_ownedStorage != nullptr ||
        (storage == nullptr && length != 0)) {
        *status = ZODEVICE_STATUS_MSG_BUFFER_INVALID;
        return;
    }
    m_descriptor->storage = storage;
    m_descriptor->length = length;
    m_outsideStorage = 1;
    m_length = length;
    m_start = 0;
    m_end = 0;
    m_cursor = 0;
    *status = 0;
}

void CByteBuffer::Detach()
{
    if (m_descriptor == nullptr || m_ownedStorage != nullptr) {
        return;
    }
    m_descriptor->storage = nullptr;
    m_descriptor->length = 0;
    m_cursor = 0;
    m_start = 0;
    m_end = 0;
    m_length = 0;
    m_outsideStorage = 0;
}

std::uint8_t* CByteBuffer::GetStorage() const
{
    return m_descriptor != nullptr ? m_descriptor->storage : nullptr;
}

void CByteBuffer::SetWindow(std::uint32_t start, std::uint32_t end, std::uint32_t* status)
{
    if (start > end || end > m_length) {
        *status = ZODEVICE_STATUS_MSG_BUFFER_SIZE_INVALID;
        return;
    }
    m_start = start;
    m_end = end;
    m_cursor = start;
    *status = 0;
}

void CByteBuffer::SetEnd(std::uint32_t end, std::uint32_t* status)
{
    if (end < m_cursor || end > m_length) {
        *status = ZODEVICE_STATUS_MSG_BUFFER_SIZE_INVALID;
        return;
    }
    m_end = end;
    *status = 0;
}

void CByteBuffer::SetCursor(std::uint32_t cursor, std::uint32_t* status)
{
    if (cursor < m_start || cursor > m_end) {
        *status = ZODEVICE_STATUS_MSG_BUFFER_SIZE_INVALID;
        return;
    }
    m_cursor = cursor;
    *status = 0;
}

void CByteBuffer::SetAttachedObject(AttachedObject* object)
{
    if (object == m_attachedObject) {
        return;
    }
    delete m_attachedObject;
    m_attachedObject = object;
}

bool CByteBuffer::Find(std::uint8_t value, std::uint32_t from, std::uint32_t count,
                       std::uint32_t* index) const
{
    const std::uint8_t* storage = GetStorage();
    if (storage == nullptr || from >= m_length) {
        return false;
    }
    const std::uint32_t available = m_length - from;
    const std::uint32_t limit = count < available ? count : available;
    for (std::uint32_t i = 0; i < limit; ++i) {
        if (storage[from + i] == value) {
            *index = i;
            return true;
        }
    }
    return false;
}

} // namespace Korvex
