// The descriptors of the device: a device-descriptor tree for a full-speed controller and one
// for a high-speed controller, the device qualifier and the strings (language 0x0409). The
// product and vendor operations write both trees; the others take a speed (2 selects the
// full-speed tree, any other value the high-speed tree).
#pragma once

#include <cstdint>

#include "engine/buffer/ByteBuffer.h"
#include "usb/device/UsbDescriptors.h"

namespace Korvex {

class CUsbDescriptorSet {
public:
    static constexpr std::uint16_t kLanguage = 0x0409;

    CUsbDescriptorSet() = default;
    CUsbDescriptorSet(const CUsbDescriptorSet&) = delete;
    CUsbDescriptorSet& operator=(const CUsbDescriptorSet&) = delete;

    void SetProductInfo(std::uint16_t idProduct, std::uint16_t bcdDevice, const char* product,
                        const char* serialNumber, std::uint32_t* status);
    void SetVendorInfo(std::uint16_t idVendor, const char* manufacturer, std::uint32_t* status);
    void SetDeviceClass(std::uint32_t speed, std::uint8_t deviceClass, std::uint8_t subClass,
                        std::uint8_t protocol, std::uint8_t maxPacket0, std::uint32_t* status);
    void AddConfiguration(std::uint32_t speed, std::uint8_t value, bool selfPowered,
                          bool remoteWakeup, std::uint8_t maxPower, const char* text,
                          std::uint32_t* status);
    void AddInterface(std::uint32_t speed, std::uint8_t configuration,
                      std::uint8_t interfaceNumber, std::uint8_t alternate,
                      std::uint8_t interfaceClass, std::uint8_t subClass, std::uint8_t protocol,
                      const char* text, std::uint32_t* status);
    void AddEndpoint(std::uint32_t speed, std::uint8_t configuration,
                     std::uint8_t interfaceNumber, std::uint8_t alternate, std::uint32_t kind,
                     std::uint8_t number, std::uint16_t maxPacket, std::uint8_t interval,
                     std::uint32_t* status);
    bool HasConfiguration(std::uint8_t value);
    // 0x543A1 when the interfaces of a configuration are not numbered in order.
    void Validate(std::uint32_t* status);
    std::uint32_t GetMaxDescriptorSize();

    std::uint32_t WriteDeviceDescriptor(std::uint32_t speed, CByteBuffer* buffer,
                                        std::uint32_t* status);
    std::uint32_t WriteConfigurationDescriptor(std::uint32_t speed, std::uint8_t index,
                                               CByteBuffer* buffer, std::uint32_t* status);
    std::uint32_t WriteStringDescriptor(std::uint8_t index, std::uint16_t language,
                                        CByteBuffer* buffer, std::uint32_t* status);
    // The device-status byte of GET_STATUS, from the first configuration.
    std::uint8_t GetDeviceStatus(std::uint32_t speed, std::uint16_t wIndex);

private:
    CUsbDeviceDescriptor& Tree(std::uint32_t speed);

    CUsbDeviceDescriptor m_highSpeed;
    CUsbDeviceDescriptor m_fullSpeed;
    CUsbDeviceQualifierDescriptor m_qualifier;
    CUsbStringDescriptorManager m_strings;
};

} // namespace Korvex
