#include "engine/session/MessageDescriptor.h"

#include <cstring>

#include "engine/os/Allocator.h"
#include "engine/status/EngineStatus.h"

namespace Korvex {

CMessageDescriptor::CMessageDescriptor(Kind kind, std::uint32_t* status) : m_kind(kind)
{
    m_user = EngineNew<CByteBuffer>();
    if (m_user == nullptr || m_user->ConstructionFailed()) {
        EngineDelete(m_user);
        m_user = nullptr;
        *status = ZODEVICE_STATUS_INSUFFICIENT_MEMORY;
        return;
    }
    *status = 0;
}

CMessageDescriptor::~CMessageDescriptor()
{
    EngineDelete(m_user);
    EngineDelete(m_internal);
}

void CMessageDescriptor::SetInternalBuffer(std::uint32_t size, std::uint32_t* status)
{
    if (m_internal != nullptr && m_internal->GetLength() == size) {
        *status = 0;
        return;
    }
    if (m_active == m_internal) {
        m_active = nullptr;
    }
    EngineDelete(m_internal);
    m_internal = nullptr;
    if (size != 0) {
        m_internal = EngineNew<CByteBuffer>(size);
        if (m_internal == nullptr || m_internal->ConstructionFailed()) {
            EngineDelete(m_internal);
            m_internal = nullptr;
            *status = ZODEVICE_STATUS_INSUFFICIENT_MEMORY;
            return;
        }
    }
    *status = 0;
}

void CMessageDescriptor::PostInput(std::uint8_t* data, std::uint32_t size,
                                   std::uint32_t* status)
{
    Clear();
    if (m_user == nullptr) {
        *status = ZODEVICE_STATUS_DRIVER_FAULT;
        return;
    }
    m_user->AttachStorage(data, size, status);
    if (*status != 0) {
        return;
    }
    m_userData = data;
    m_userSize = size;
    if (m_internal != nullptr) {
        m_active = m_internal;
        m_requested = size < m_internal->GetLength() ? size : m_internal->GetLength();
    } else {
        m_active = m_user;
        m_requested = size;
    }
    m_done = 0;
    m_end = 0;
    m_valid = 1;
    OpenWindow();
}

void CMessageDescriptor::PostResponse(const std::uint8_t* data, std::uint32_t count, bool end,
                                      std::uint32_t* status)
{
    Clear();
    if (m_user == nullptr) {
        *status = ZODEVICE_STATUS_DRIVER_FAULT;
        return;
    }
    // A response is only read from; the view does not write into it.
    m_user->AttachStorage(const_cast<std::uint8_t*>(data), count, status);
    if (*status != 0) {
        return;
    }
    m_userData = const_cast<std::uint8_t*>(data);
    m_userSize = count;
    if (m_internal != nullptr && count <= m_internal->GetLength()) {
        if (count != 0) {
            std::memcpy(m_internal->GetStorage(), data, count);
        }
        m_active = m_internal;
    } else {
        m_active = m_user;
    }
    m_requested = count;
    m_done = 0;
    m_end = end ? 1 : 0;
    m_valid = 1;
    OpenWindow();
}

void CMessageDescriptor::Clear()
{
    if (m_user != nullptr) {
        m_user->Detach();
    }
    m_active = nullptr;
    m_userData = nullptr;
    m_userSize = 0;
    m_requested = 0;
    m_done = 0;
    m_end = 0;
    m_valid = 0;
}

void CMessageDescriptor::OpenWindow()
{
    if (m_active == nullptr) {
        return;
    }
    std::uint32_t status = 0;
    m_active->SetWindow(m_done, m_requested, &status);
}

void CMessageDescriptor::CopyToUser()
{
    if (m_kind != Input || m_active != m_internal || m_internal == nullptr) {
        return;
    }
    const std::uint32_t count = m_done < m_userSize ? m_done : m_userSize;
    if (count != 0) {
        std::memcpy(m_userData, m_internal->GetStorage(), count);
    }
}

bool CMessageDescriptor::FindByte(std::uint8_t value, std::uint32_t start, std::uint32_t length,
                                  std::uint32_t* index) const
{
    return m_active != nullptr && m_active->Find(value, start, length, index);
}

} // namespace Korvex
