// The standard USB 2.0 descriptors, each owning the raw bytes of one descriptor in wire
// format (multi-byte fields little-endian) and appending itself to a reply buffer. A
// configuration writes itself with its interfaces, each followed by its endpoints, stopping
// as soon as the buffer is full.
#pragma once

#include <cstdint>

#include "engine/buffer/ByteBuffer.h"
#include "engine/containers/LinkedList.h"

namespace Korvex {

class CUsbDescriptor {
public:
    CUsbDescriptor(std::uint8_t* raw, std::uint32_t size, std::uint8_t type);
    virtual ~CUsbDescriptor() = default;
    CUsbDescriptor(const CUsbDescriptor&) = delete;
    CUsbDescriptor& operator=(const CUsbDescriptor&) = delete;

    std::uint8_t GetLength() const { return m_raw[0]; }
    const std::uint8_t* GetRaw() const { return m_raw; }
    // Appends min(bLength, free space) bytes at the buffer's cursor; returns the bytes written.
    virtual std::uint32_t Write(CByteBuffer* buffer) const;

protected:
    // Writes bLength and the type; each derived constructor calls it first.
    void Begin();
    void Set16(std::uint32_t offset, std::uint16_t value);
    std::uint16_t Get16(std::uint32_t offset) const;

    std::uint8_t* m_raw;
    std::uint32_t m_size;
    std::uint8_t m_type;
};

class CUsbEndpointDescriptor : public CUsbDescriptor {
public:
    CUsbEndpointDescriptor(std::uint32_t kind, std::uint8_t number, std::uint16_t maxPacket,
                           std::uint8_t interval);
    std::uint8_t GetNumber() const { return m_bytes[2] & 0x0F; }

private:
    std::uint8_t m_bytes[7] = {};
};

class CUsbInterfaceDescriptor : public CUsbDescriptor {
public:
    CUsbInterfaceDescriptor(std::uint8_t interfaceNumber, std::uint8_t alternate,
                            std::uint8_t interfaceClass, std::uint8_t subClass,
                            std::uint8_t protocol, std::uint8_t stringIndex);
    ~CUsbInterfaceDescriptor() override;
    std::uint32_t Write(CByteBuffer* buffer) const override;
    std::uint16_t Key() const { return static_cast<std::uint16_t>((m_bytes[2] << 8) | m_bytes[3]); }
    std::uint8_t GetInterfaceNumber() const { return m_bytes[2]; }
    std::uint8_t GetAlternate() const { return m_bytes[3]; }
    bool AddEndpoint(CUsbEndpointDescriptor* endpoint);

private:
    std::uint8_t m_bytes[9] = {};
    CLinkedList<CUsbEndpointDescriptor*> m_endpoints;
};

class CUsbConfigurationDescriptor : public CUsbDescriptor {
public:
    CUsbConfigurationDescriptor(std::uint8_t value, bool selfPowered, bool remoteWakeup,
                                std::uint8_t maxPower, std::uint8_t stringIndex);
    ~CUsbConfigurationDescriptor() override;
    std::uint32_t Write(CByteBuffer* buffer) const override;
    std::uint8_t GetValue() const { return m_bytes[5]; }
    std::uint16_t GetTotalLength() const { return Get16(2); }
    std::uint8_t GetAttributes() const { return m_bytes[7]; }
    bool AddInterface(CUsbInterfaceDescriptor* interfaceDescriptor);
    CUsbInterfaceDescriptor* FindInterface(std::uint8_t interfaceNumber, std::uint8_t alternate);
    // Interfaces in order (0,0), (0,1) .. (1,0) ..: numbers from 0 rising by one, alternate
    // settings of each from 0 rising by one.
    bool IsValid() const;
    // Bit 0 self-powered (from bmAttributes bit 6); remote wake-up is never enabled.
    std::uint8_t GetDeviceStatus() const { return (m_bytes[7] & 0x40) != 0 ? 1 : 0; }
    // For the endpoint descriptors an interface adds.
    void GrowTotal(std::uint16_t bytes) { Set16(2, static_cast<std::uint16_t>(Get16(2) + bytes)); }

private:
    std::uint8_t m_bytes[9] = {};
    CLinkedList<CUsbInterfaceDescriptor*> m_interfaces;
};

class CUsbDeviceDescriptor : public CUsbDescriptor {
public:
    CUsbDeviceDescriptor();
    ~CUsbDeviceDescriptor() override;
    void SetProduct(std::uint16_t idProduct, std::uint16_t bcdDevice, std::uint8_t product,
                    std::uint8_t serial);
    void SetVendor(std::uint16_t idVendor, std::uint8_t manufacturer);
    void SetClass(std::uint8_t deviceClass, std::uint8_t subClass, std::uint8_t protocol,
                  std::uint8_t maxPacket0);
    bool AddConfiguration(CUsbConfigurationDescriptor* configuration);
    CUsbConfigurationDescriptor* FindConfiguration(std::uint8_t value);
    // By position in the ordered list, from 0.
    CUsbConfigurationDescriptor* ConfigurationAt(std::uint32_t index);

private:
    std::uint8_t m_bytes[18] = {};
    CLinkedList<CUsbConfigurationDescriptor*> m_configurations;
};

class CUsbDeviceQualifierDescriptor : public CUsbDescriptor {
public:
    CUsbDeviceQualifierDescriptor();

private:
    std::uint8_t m_bytes[10] = {};
};

class CUsbStringDescriptor : public CUsbDescriptor {
public:
    static constexpr std::uint32_t kMaxCharacters = 126;
    // Texts longer than 126 characters are cut.
    CUsbStringDescriptor(std::uint8_t index, std::uint16_t language, const char* text);
    std::uint8_t GetIndex() const { return m_index; }
    std::uint16_t GetLanguage() const { return m_language; }

private:
    std::uint8_t m_bytes[2 + 2 * kMaxCharacters] = {};
    std::uint8_t m_index;
    std::uint16_t m_language;
};

class CUsbLanguageIdDescriptor : public CUsbDescriptor {
public:
    static constexpr std::uint32_t kCapacity = 1;
    CUsbLanguageIdDescriptor();
    bool HasLanguage(std::uint16_t language) const;
    // false when there is no room.
    bool AddLanguage(std::uint16_t language);

private:
    std::uint8_t m_bytes[2 + 2 * kCapacity] = {};
};

class CUsbStringDescriptorManager {
public:
    CUsbStringDescriptorManager() = default;
    ~CUsbStringDescriptorManager();
    CUsbStringDescriptorManager(const CUsbStringDescriptorManager&) = delete;
    CUsbStringDescriptorManager& operator=(const CUsbStringDescriptorManager&) = delete;

    // An empty or missing text gives index 0 and adds nothing.
    std::uint8_t AddString(std::uint16_t language, const char* text, std::uint32_t* status);
    // Index 0: the language-id descriptor whatever the language; else the string, none:
    // 0x543A1.
    std::uint32_t WriteString(std::uint8_t index, std::uint16_t language, CByteBuffer* buffer,
                              std::uint32_t* status) const;
    // The largest bLength of the strings and of the language-id descriptor.
    std::uint32_t GetMaxLength() const;

private:
    CUsbLanguageIdDescriptor m_languages;
    CLinkedList<CUsbStringDescriptor*> m_strings;
    std::uint8_t m_nextIndex = 1;
};

} // namespace Korvex
