#include "usb/device/UsbStandardRequestManager.h"

#include <cstring>

#include "engine/status/EngineStatus.h"
#include "usb/core/UsbStatus.h"
#include "usb/device/UsbDeviceManager.h"

namespace Korvex {

namespace {

enum : std::uint8_t {
    kGetStatus = 0,
    kClearFeature = 1,
    kSetFeature = 3,
    kSetAddress = 5,
    kGetDescriptor = 6,
    kGetConfiguration = 8,
    kSetConfiguration = 9,
    kGetInterface = 10,
    kSetInterface = 11,
};

} // namespace

CUsbStandardRequestManager::CUsbStandardRequestManager(CUsbDeviceManager* manager)
    : m_manager(manager), m_endpoint(manager, this)
{
}

void CUsbStandardRequestManager::OnSetup(const UsbSetupPacket& setup, std::uint32_t* status)
{
    if (*status != 0) {
        return;
    }
    std::uint32_t handled = 0;
    Handle(setup, &handled);
    if (handled == 0) {
        return;
    }
    // Every failed request is stalled; request errors leave the caller's status clear.
    std::uint32_t stall = 0;
    m_endpoint.Halt(&stall);
    if (!IsUsbRequestError(handled)) {
        *status = handled;
    }
}

void CUsbStandardRequestManager::Reply(const std::uint8_t* bytes, std::uint32_t length,
                                       std::uint32_t* status)
{
    CByteBuffer* reply = m_manager->GetReplyBuffer();
    if (reply == nullptr || reply->GetLength() < length) {
        *status = ZODEVICE_STATUS_DRIVER_FAULT;
        return;
    }
    reply->SetWindow(0, length, status);
    if (*status != 0) {
        return;
    }
    std::memcpy(reply->GetStorage(), bytes, length);
    m_endpoint.StartSend(reply, status);
    if (*status == 0) {
        m_dataStagePending = 1;
    }
}

void CUsbStandardRequestManager::GetDescriptor(const UsbSetupPacket& setup,
                                               std::uint32_t* status)
{
    const std::uint32_t type = (setup.wValue >> 8) & 0x0F;
    const std::uint8_t index = static_cast<std::uint8_t>(setup.wValue & 0x0F);
    if (setup.bmRequestType != 0x80 || (type == 1 && (index != 0 || setup.wIndex != 0)) ||
        (type == 2 && setup.wIndex != 0) || type < 1 || type > 3) {
        *status = USB_STATUS_REQUEST_ERROR;
        return;
    }
    if (setup.wLength == 0) {
        m_endpoint.FinishRequest(status);
        return;
    }
    CByteBuffer* reply = m_manager->GetReplyBuffer();
    CUsbDescriptorSet* descriptors = m_manager->GetDescriptorSet();
    if (reply == nullptr || descriptors == nullptr) {
        *status = ZODEVICE_STATUS_DRIVER_FAULT;
        return;
    }
    const std::uint32_t length =
        setup.wLength < reply->GetLength() ? setup.wLength : reply->GetLength();
    reply->SetWindow(0, length, status);
    if (*status != 0) {
        return;
    }
    const std::uint32_t speed = m_manager->GetController()->GetControllerKind();
    std::uint32_t written = 0;
    if (type == 1) {
        written = descriptors->WriteDeviceDescriptor(speed, reply, status);
    } else if (type == 2) {
        written = descriptors->WriteConfigurationDescriptor(speed, index, reply, status);
    } else {
        written = descriptors->WriteStringDescriptor(index, setup.wIndex, reply, status);
    }
    if (*status != 0) {
        return;
    }
    // The reply is the bytes written, at most wLength.
    reply->SetWindow(0, written, status);
    m_endpoint.StartSend(reply, status);
    if (*status == 0) {
        m_dataStagePending = 1;
    }
}

void CUsbStandardRequestManager::Handle(const UsbSetupPacket& setup, std::uint32_t* status)
{
    CUsbController* controller = m_manager->GetController();
    const std::uint8_t type = setup.bmRequestType;
    switch (setup.bRequest) {
        case kGetStatus: {
            if ((type & 0x80) == 0 || (type & 0x60) != 0 || setup.wValue != 0 ||
                setup.wLength != 2) {
                *status = USB_STATUS_REQUEST_ERROR;
                return;
            }
            std::uint8_t reply[2] = {0, 0};
            switch (type & 0x1F) {
                case 0:
                    reply[0] = m_manager->GetDescriptorSet()->GetDeviceStatus(
                        controller->GetControllerKind(), setup.wIndex);
                    break;
                case 1: break;
                case 2:
                    reply[0] = controller->IsEndpointHalted(
                                   static_cast<std::uint8_t>(setup.wIndex & 0xFF), status)
                                   ? 1
                                   : 0;
                    break;
                default: *status = USB_STATUS_REQUEST_ERROR; break;
            }
            if (*status == 0) {
                Reply(reply, 2, status);
            }
            return;
        }
        case kClearFeature:
        case kSetFeature: {
            if (type != 2 || setup.wValue != 0 || (setup.wIndex & 0x0F) == 0 ||
                setup.wLength != 0) {
                *status = USB_STATUS_REQUEST_ERROR;
                return;
            }
            const std::uint8_t address = static_cast<std::uint8_t>(setup.wIndex & 0x8F);
            if (setup.bRequest == kClearFeature) {
                controller->ClearEndpointHalt(address, status);
            } else {
                controller->HaltEndpoint(address, status);
            }
            m_endpoint.FinishRequest(status);
            return;
        }
        case kSetAddress:
            if (type != 0 || setup.wIndex != 0 || setup.wLength != 0 || setup.wValue > 127) {
                *status = USB_STATUS_REQUEST_ERROR;
                return;
            }
            controller->SetAddress(setup.wValue, status);
            m_endpoint.FinishRequest(status);
            return;
        case kGetDescriptor:
            GetDescriptor(setup, status);
            return;
        case kGetConfiguration: {
            if (type != 0x80 || setup.wValue != 0 || setup.wIndex != 0 || setup.wLength != 1) {
                *status = USB_STATUS_REQUEST_ERROR;
                return;
            }
            const std::uint8_t value = static_cast<std::uint8_t>(controller->GetConfiguration());
            Reply(&value, 1, status);
            return;
        }
        case kSetConfiguration:
            if (type != 0 ||
                !controller->IsValidConfiguration(static_cast<std::uint8_t>(setup.wValue & 0x0F)) ||
                setup.wIndex != 0 || setup.wLength != 0) {
                *status = USB_STATUS_REQUEST_ERROR;
                return;
            }
            controller->SetConfiguration(setup.wValue & 0x0F, status);
            m_endpoint.FinishRequest(status);
            return;
        case kGetInterface: {
            const std::uint8_t interfaceNumber = static_cast<std::uint8_t>(setup.wIndex & 0x0F);
            if (type != 0x81 || setup.wValue != 0 ||
                !controller->IsActiveInterface(interfaceNumber) || setup.wLength != 1) {
                *status = USB_STATUS_REQUEST_ERROR;
                return;
            }
            const std::uint8_t alternate = controller->GetAlternateSetting(interfaceNumber);
            Reply(&alternate, 1, status);
            return;
        }
        case kSetInterface:
            // Not in the Address state: configuration 0 has no interfaces.
            if (type != 1 || controller->GetConfiguration() == 0 ||
                !controller->IsValidInterface(
                    static_cast<std::uint8_t>(controller->GetConfiguration()),
                    static_cast<std::uint8_t>(setup.wIndex & 0x0F),
                    static_cast<std::uint8_t>(setup.wValue & 0x0F)) ||
                setup.wLength != 0) {
                *status = USB_STATUS_REQUEST_ERROR;
                return;
            }
            controller->SetInterface(static_cast<std::uint8_t>(controller->GetConfiguration()),
                                     static_cast<std::uint8_t>(setup.wIndex & 0x0F),
                                     static_cast<std::uint8_t>(setup.wValue & 0x0F), status);
            m_endpoint.FinishRequest(status);
            return;
        default:
            *status = USB_STATUS_REQUEST_ERROR;
            return;
    }
}

void CUsbStandardRequestManager::OnOutComplete(CUsbEndpoint*, std::uint32_t, std::uint32_t,
                                               std::uint32_t* status)
{
    // No standard request here has an OUT data stage.
    m_dataStagePending = 0;
    if (*status == 0) {
        *status = ZODEVICE_STATUS_DRIVER_FAULT;
    }
}

void CUsbStandardRequestManager::OnInComplete(CUsbEndpoint*, std::uint32_t code, std::uint32_t,
                                              std::uint32_t* status)
{
    if (m_dataStagePending != 0 && code == kUsbCompletionNormal) {
        m_endpoint.FinishRequest(status);
    }
    m_dataStagePending = 0;
}

} // namespace Korvex
