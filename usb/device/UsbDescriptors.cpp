#include "usb/device/UsbDescriptors.h"

#include <cstring>

#include "engine/os/Allocator.h"
#include "engine/status/EngineStatus.h"
#include "usb/core/UsbEndpoint.h"
#include "usb/core/UsbStatus.h"

namespace Korvex {

namespace {

// Inserts in front of the first element whose key is greater.
template <class T, class Key>
bool InsertOrdered(CLinkedList<T*>* list, T* item, Key key)
{
    typename CLinkedList<T*>::Iterator it = nullptr;
    typename CLinkedList<T*>::Iterator before = nullptr;
    T* listed = nullptr;
    while (list->Next(&it, &listed)) {
        if (key(listed) > key(item)) {
            break;
        }
        before = it;
    }
    return list->InsertAfter(before, item);
}

template <class T>
void DestroyAll(CLinkedList<T*>* list)
{
    T* item = nullptr;
    while (list->PopFront(&item)) {
        EngineDelete(item);
    }
}

} // namespace

CUsbDescriptor::CUsbDescriptor(std::uint8_t* raw, std::uint32_t size, std::uint8_t type)
    : m_raw(raw), m_size(size), m_type(type)
{
}

void CUsbDescriptor::Begin()
{
    // The derived object's bytes exist only now.
    m_raw[0] = static_cast<std::uint8_t>(m_size);
    m_raw[1] = m_type;
}

void CUsbDescriptor::Set16(std::uint32_t offset, std::uint16_t value)
{
    m_raw[offset] = static_cast<std::uint8_t>(value & 0xFF);
    m_raw[offset + 1] = static_cast<std::uint8_t>(value >> 8);
}

std::uint16_t CUsbDescriptor::Get16(std::uint32_t offset) const
{
    return static_cast<std::uint16_t>(m_raw[offset] | (m_raw[offset + 1] << 8));
}

std::uint32_t CUsbDescriptor::Write(CByteBuffer* buffer) const
{
    const std::uint32_t free = buffer->BytesLeft();
    const std::uint32_t count = m_raw[0] < free ? m_raw[0] : free;
    const std::uint32_t cursor = buffer->GetCursor();
    std::memcpy(buffer->GetStorage() + cursor, m_raw, count);
    std::uint32_t ignored = 0;
    buffer->SetCursor(cursor + count, &ignored);
    return count;
}

CUsbEndpointDescriptor::CUsbEndpointDescriptor(std::uint32_t kind, std::uint8_t number,
                                               std::uint16_t maxPacket, std::uint8_t interval)
    : CUsbDescriptor(m_bytes, sizeof m_bytes, 5)
{
    Begin();
    const bool in = kind == kUsbEndpointBulkIn || kind == kUsbEndpointInterruptIn;
    m_bytes[2] = static_cast<std::uint8_t>((number & 0x0F) | (in ? 0x80 : 0));
    m_bytes[3] = (kind == kUsbEndpointBulkIn || kind == kUsbEndpointBulkOut)
                     ? 2
                     : (kind == kUsbEndpointInterruptIn ? 3 : 0);
    Set16(4, maxPacket);
    m_bytes[6] = interval;
}

CUsbInterfaceDescriptor::CUsbInterfaceDescriptor(std::uint8_t interfaceNumber,
                                                 std::uint8_t alternate,
                                                 std::uint8_t interfaceClass,
                                                 std::uint8_t subClass, std::uint8_t protocol,
                                                 std::uint8_t stringIndex)
    : CUsbDescriptor(m_bytes, sizeof m_bytes, 4)
{
    Begin();
    m_bytes[2] = interfaceNumber;
    m_bytes[3] = alternate;
    m_bytes[5] = interfaceClass;
    m_bytes[6] = subClass;
    m_bytes[7] = protocol;
    m_bytes[8] = stringIndex;
}

CUsbInterfaceDescriptor::~CUsbInterfaceDescriptor() { DestroyAll(&m_endpoints); }

bool CUsbInterfaceDescriptor::AddEndpoint(CUsbEndpointDescriptor* endpoint)
{
    if (!InsertOrdered(&m_endpoints, endpoint,
                       [](const CUsbEndpointDescriptor* e) { return e->GetNumber(); })) {
        return false;
    }
    ++m_bytes[4];
    return true;
}

std::uint32_t CUsbInterfaceDescriptor::Write(CByteBuffer* buffer) const
{
    std::uint32_t written = CUsbDescriptor::Write(buffer);
    CLinkedList<CUsbEndpointDescriptor*>::Iterator it = nullptr;
    CUsbEndpointDescriptor* endpoint = nullptr;
    while (buffer->BytesLeft() > 0 && m_endpoints.Next(&it, &endpoint)) {
        written += endpoint->Write(buffer);
    }
    return written;
}

CUsbConfigurationDescriptor::CUsbConfigurationDescriptor(std::uint8_t value, bool selfPowered,
                                                         bool remoteWakeup,
                                                         std::uint8_t maxPower,
                                                         std::uint8_t stringIndex)
    : CUsbDescriptor(m_bytes, sizeof m_bytes, 2)
{
    Begin();
    Set16(2, 9);
    m_bytes[5] = value;
    m_bytes[6] = stringIndex;
    m_bytes[7] = static_cast<std::uint8_t>(0x80 | (selfPowered ? 0x40 : 0) |
                                           (remoteWakeup ? 0x20 : 0));
    m_bytes[8] = maxPower;
}

CUsbConfigurationDescriptor::~CUsbConfigurationDescriptor() { DestroyAll(&m_interfaces); }

bool CUsbConfigurationDescriptor::AddInterface(CUsbInterfaceDescriptor* interfaceDescriptor)
{
    if (!InsertOrdered(&m_interfaces, interfaceDescriptor,
                       [](const CUsbInterfaceDescriptor* i) { return i->Key(); })) {
        return false;
    }
    ++m_bytes[4];
    GrowTotal(9);
    return true;
}

CUsbInterfaceDescriptor* CUsbConfigurationDescriptor::FindInterface(std::uint8_t interfaceNumber,
                                                                    std::uint8_t alternate)
{
    CLinkedList<CUsbInterfaceDescriptor*>::Iterator it = nullptr;
    CUsbInterfaceDescriptor* found = nullptr;
    while (m_interfaces.Next(&it, &found)) {
        if (found->GetInterfaceNumber() == interfaceNumber && found->GetAlternate() == alternate) {
            return found;
        }
    }
    return nullptr;
}

bool CUsbConfigurationDescriptor::IsValid() const
{
    CLinkedList<CUsbInterfaceDescriptor*>::Iterator it = nullptr;
    CUsbInterfaceDescriptor* found = nullptr;
    int number = -1;
    int alternate = -1;
    while (m_interfaces.Next(&it, &found)) {
        if (found->GetInterfaceNumber() == number && found->GetAlternate() == alternate + 1) {
            alternate = found->GetAlternate();
        } else if (found->GetInterfaceNumber() == number + 1 && found->GetAlternate() == 0) {
            number = found->GetInterfaceNumber();
            alternate = 0;
        } else {
            return false;
        }
    }
    return true;
}

std::uint32_t CUsbConfigurationDescriptor::Write(CByteBuffer* buffer) const
{
    std::uint32_t written = CUsbDescriptor::Write(buffer);
    CLinkedList<CUsbInterfaceDescriptor*>::Iterator it = nullptr;
    CUsbInterfaceDescriptor* found = nullptr;
    while (buffer->BytesLeft() > 0 && m_interfaces.Next(&it, &found)) {
        written += found->Write(buffer);
    }
    return written;
}

CUsbDeviceDescriptor::CUsbDeviceDescriptor() : CUsbDescriptor(m_bytes, sizeof m_bytes, 1)
{
    Begin();
    Set16(2, 0x0200);
}

CUsbDeviceDescriptor::~CUsbDeviceDescriptor() { DestroyAll(&m_configurations); }

void CUsbDeviceDescriptor::SetProduct(std::uint16_t idProduct, std::uint16_t bcdDevice,
                                      std::uint8_t product, std::uint8_t serial)
{
    Set16(10, idProduct);
    Set16(12, bcdDevice);
    m_bytes[15] = product;
    m_bytes[16] = serial;
}

void CUsbDeviceDescriptor::SetVendor(std::uint16_t idVendor, std::uint8_t manufacturer)
{
    Set16(8, idVendor);
    m_bytes[14] = manufacturer;
}

void CUsbDeviceDescriptor::SetClass(std::uint8_t deviceClass, std::uint8_t subClass,
                                    std::uint8_t protocol, std::uint8_t maxPacket0)
{
    m_bytes[4] = deviceClass;
    m_bytes[5] = subClass;
    m_bytes[6] = protocol;
    m_bytes[7] = maxPacket0;
}

bool CUsbDeviceDescriptor::AddConfiguration(CUsbConfigurationDescriptor* configuration)
{
    if (!InsertOrdered(&m_configurations, configuration,
                       [](const CUsbConfigurationDescriptor* c) { return c->GetValue(); })) {
        return false;
    }
    ++m_bytes[17];
    return true;
}

CUsbConfigurationDescriptor* CUsbDeviceDescriptor::FindConfiguration(std::uint8_t value)
{
    CLinkedList<CUsbConfigurationDescriptor*>::Iterator it = nullptr;
    CUsbConfigurationDescriptor* found = nullptr;
    while (m_configurations.Next(&it, &found)) {
        if (found->GetValue() == value) {
            return found;
        }
    }
    return nullptr;
}

CUsbConfigurationDescriptor* CUsbDeviceDescriptor::ConfigurationAt(std::uint32_t index)
{
    CLinkedList<CUsbConfigurationDescriptor*>::Iterator it = nullptr;
    CUsbConfigurationDescriptor* found = nullptr;
    for (std::uint32_t i = 0; m_configurations.Next(&it, &found); ++i) {
        if (i == index) {
            return found;
        }
    }
    return nullptr;
}

CUsbDeviceQualifierDescriptor::CUsbDeviceQualifierDescriptor()
    : CUsbDescriptor(m_bytes, sizeof m_bytes, 6)
{
    Begin();
    Set16(2, 0x0200);
}

CUsbStringDescriptor::CUsbStringDescriptor(std::uint8_t index, std::uint16_t language,
                                           const char* text)
    : CUsbDescriptor(m_bytes, 2, 3), m_index(index), m_language(language)
{
    Begin();
    std::uint32_t length = static_cast<std::uint32_t>(std::strlen(text));
    if (length > kMaxCharacters) {
        length = kMaxCharacters;
    }
    for (std::uint32_t i = 0; i < length; ++i) {
        m_bytes[2 + 2 * i] = static_cast<std::uint8_t>(text[i]);
        m_bytes[3 + 2 * i] = 0;
    }
    m_bytes[0] = static_cast<std::uint8_t>(2 + 2 * length);
    m_size = m_bytes[0];
}

CUsbLanguageIdDescriptor::CUsbLanguageIdDescriptor() : CUsbDescriptor(m_bytes, 2, 3) { Begin(); }

bool CUsbLanguageIdDescriptor::HasLanguage(std::uint16_t language) const
{
    for (std::uint32_t offset = 2; offset < m_bytes[0]; offset += 2) {
        if (Get16(offset) == language) {
            return true;
        }
    }
    return false;
}

bool CUsbLanguageIdDescriptor::AddLanguage(std::uint16_t language)
{
    if (m_bytes[0] >= sizeof m_bytes) {
        return false;
    }
    Set16(m_bytes[0], language);
    m_bytes[0] = static_cast<std::uint8_t>(m_bytes[0] + 2);
    return true;
}

CUsbStringDescriptorManager::~CUsbStringDescriptorManager() { DestroyAll(&m_strings); }

std::uint8_t CUsbStringDescriptorManager::AddString(std::uint16_t language, const char* text,
                                                    std::uint32_t* status)
{
    if (*status != 0 || text == nullptr || text[0] == '\0') {
        return 0;
    }
    if (!m_languages.HasLanguage(language) && !m_languages.AddLanguage(language)) {
        *status = ZODEVICE_STATUS_INSUFFICIENT_MEMORY;
        return 0;
    }
    CUsbStringDescriptor* made = EngineNew<CUsbStringDescriptor>(m_nextIndex, language, text);
    if (made == nullptr ||
        !InsertOrdered(&m_strings, made, [](const CUsbStringDescriptor* s) {
            return (std::uint32_t{s->GetIndex()} << 16) | s->GetLanguage();
        })) {
        EngineDelete(made);
        *status = ZODEVICE_STATUS_INSUFFICIENT_MEMORY;
        return 0;
    }
    return m_nextIndex++;
}

std::uint32_t CUsbStringDescriptorManager::WriteString(std::uint8_t index,
                                                       std::uint16_t language,
                                                       CByteBuffer* buffer,
                                                       std::uint32_t* status) const
{
    if (*status != 0) {
        return 0;
    }
    if (index == 0) {
        return m_languages.Write(buffer);
    }
    CLinkedList<CUsbStringDescriptor*>::Iterator it = nullptr;
    CUsbStringDescriptor* found = nullptr;
    while (m_strings.Next(&it, &found)) {
        if (found->GetIndex() == index && found->GetLanguage() == language) {
            return found->Write(buffer);
        }
    }
    *status = USB_STATUS_NOT_FOUND;
    return 0;
}

std::uint32_t CUsbStringDescriptorManager::GetMaxLength() const
{
    std::uint32_t longest = m_languages.GetLength();
    CLinkedList<CUsbStringDescriptor*>::Iterator it = nullptr;
    CUsbStringDescriptor* found = nullptr;
    while (m_strings.Next(&it, &found)) {
        if (found->GetLength() > longest) {
            longest = found->GetLength();
        }
    }
    return longest;
}

} // namespace Korvex
