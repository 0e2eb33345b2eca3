#include "usb/device/UsbDescriptorSet.h"

#include "engine/os/Allocator.h"
#include "engine/status/EngineStatus.h"
#include "usb/core/UsbEndpoint.h"
#include "usb/core/UsbStatus.h"

namespace Korvex {

CUsbDeviceDescriptor& CUsbDescriptorSet::Tree(std::uint32_t speed)
{
    return speed == kUsbFullSpeed ? m_fullSpeed : m_highSpeed;
}

void CUsbDescriptorSet::SetProductInfo(std::uint16_t idProduct, std::uint16_t bcdDevice,
                                       const char* product, const char* serialNumber,
                                       std::uint32_t* status)
{
    const std::uint8_t productIndex = m_strings.AddString(kLanguage, product, status);
    const std::uint8_t serialIndex = m_strings.AddString(kLanguage, serialNumber, status);
    if (*status != 0) {
        return;
    }
    m_fullSpeed.SetProduct(idProduct, bcdDevice, productIndex, serialIndex);
    m_highSpeed.SetProduct(idProduct, bcdDevice, productIndex, serialIndex);
}

void CUsbDescriptorSet::SetVendorInfo(std::uint16_t idVendor, const char* manufacturer,
                                      std::uint32_t* status)
{
    const std::uint8_t index = m_strings.AddString(kLanguage, manufacturer, status);
    if (*status != 0) {
        return;
    }
    m_fullSpeed.SetVendor(idVendor, index);
    m_highSpeed.SetVendor(idVendor, index);
}

void CUsbDescriptorSet::SetDeviceClass(std::uint32_t speed, std::uint8_t deviceClass,
                                       std::uint8_t subClass, std::uint8_t protocol,
                                       std::uint8_t maxPacket0, std::uint32_t* status)
{
    if (*status == 0) {
        Tree(speed).SetClass(deviceClass, subClass, protocol, maxPacket0);
    }
}

void CUsbDescriptorSet::AddConfiguration(std::uint32_t speed, std::uint8_t value,
                                         bool selfPowered, bool remoteWakeup,
                                         std::uint8_t maxPower, const char* text,
                                         std::uint32_t* status)
{
    const std::uint8_t index = m_strings.AddString(kLanguage, text, status);
    if (*status != 0) {
        return;
    }
    auto* made = EngineNew<CUsbConfigurationDescriptor>(value, selfPowered, remoteWakeup,
                                                        maxPower, index);
    if (made == nullptr || !Tree(speed).AddConfiguration(made)) {
        EngineDelete(made);
        *status = ZODEVICE_STATUS_INSUFFICIENT_MEMORY;
    }
}

void CUsbDescriptorSet::AddInterface(std::uint32_t speed, std::uint8_t configuration,
                                     std::uint8_t interfaceNumber, std::uint8_t alternate,
                                     std::uint8_t interfaceClass, std::uint8_t subClass,
                                     std::uint8_t protocol, const char* text,
                                     std::uint32_t* status)
{
    if (*status != 0) {
        return;
    }
    CUsbConfigurationDescriptor* found = Tree(speed).FindConfiguration(configuration);
    if (found == nullptr) {
        *status = USB_STATUS_NOT_FOUND;
        return;
    }
    const std::uint8_t index = m_strings.AddString(kLanguage, text, status);
    if (*status != 0) {
        return;
    }
    auto* made = EngineNew<CUsbInterfaceDescriptor>(interfaceNumber, alternate, interfaceClass,
                                                    subClass, protocol, index);
    if (made == nullptr || !found->AddInterface(made)) {
        EngineDelete(made);
        *status = ZODEVICE_STATUS_INSUFFICIENT_MEMORY;
    }
}

void CUsbDescriptorSet::AddEndpoint(std::uint32_t speed, std::uint8_t configuration,
                                    std::uint8_t interfaceNumber, std::uint8_t alternate,
                                    std::uint32_t kind, std::uint8_t number,
                                    std::uint16_t maxPacket, std::uint8_t interval,
                                    std::uint32_t* status)
{
    if (*status != 0) {
        return;
    }
    CUsbConfigurationDescriptor* found = Tree(speed).FindConfiguration(configuration);
    CUsbInterfaceDescriptor* owner =
        found != nullptr ? found->FindInterface(interfaceNumber, alternate) : nullptr;
    if (owner == nullptr) {
        *status = USB_STATUS_NOT_FOUND;
        return;
    }
    auto* made = EngineNew<CUsbEndpointDescriptor>(kind, number, maxPacket, interval);
    if (made == nullptr || !owner->AddEndpoint(made)) {
        EngineDelete(made);
        *status = ZODEVICE_STATUS_INSUFFICIENT_MEMORY;
        return;
    }
    found->GrowTotal(7);
}

bool CUsbDescriptorSet::HasConfiguration(std::uint8_t value)
{
    return m_fullSpeed.FindConfiguration(value) != nullptr;
}

void CUsbDescriptorSet::Validate(std::uint32_t* status)
{
    if (*status != 0) {
        return;
    }
    for (CUsbDeviceDescriptor* tree : {&m_fullSpeed, &m_highSpeed}) {
        for (std::uint32_t i = 0; CUsbConfigurationDescriptor* c = tree->ConfigurationAt(i); ++i) {
            if (!c->IsValid()) {
                *status = USB_STATUS_NOT_FOUND;
                return;
            }
        }
    }
}

std::uint32_t CUsbDescriptorSet::GetMaxDescriptorSize()
{
    std::uint32_t largest = m_strings.GetMaxLength();
    for (CUsbDeviceDescriptor* tree : {&m_fullSpeed, &m_highSpeed}) {
        for (std::uint32_t i = 0; CUsbConfigurationDescriptor* c = tree->ConfigurationAt(i); ++i) {
            if (c->GetTotalLength() > largest) {
                largest = c->GetTotalLength();
            }
        }
    }
    return largest;
}

std::uint32_t CUsbDescriptorSet::WriteDeviceDescriptor(std::uint32_t speed, CByteBuffer* buffer,
                                                       std::uint32_t* status)
{
    return *status == 0 ? Tree(speed).Write(buffer) : 0;
}

std::uint32_t CUsbDescriptorSet::WriteConfigurationDescriptor(std::uint32_t speed,
                                                              std::uint8_t index,
                                                              CByteBuffer* buffer,
                                                              std::uint32_t* status)
{
    if (*status != 0) {
        return 0;
    }
    CUsbConfigurationDescriptor* found = Tree(speed).ConfigurationAt(index);
    if (found == nullptr) {
        *status = USB_STATUS_NOT_FOUND;
        return 0;
    }
    return found->Write(buffer);
}

std::uint32_t CUsbDescriptorSet::WriteStringDescriptor(std::uint8_t index,
                                                       std::uint16_t language,
                                                       CByteBuffer* buffer,
                                                       std::uint32_t* status)
{
    return m_strings.WriteString(index, language, buffer, status);
}

std::uint8_t CUsbDescriptorSet::GetDeviceStatus(std::uint32_t speed, std::uint16_t)
{
    CUsbConfigurationDescriptor* first = Tree(speed).ConfigurationAt(0);
    return first != nullptr ? first->GetDeviceStatus() : 0;
}

} // namespace Korvex
