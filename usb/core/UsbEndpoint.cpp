#include "usb/core/UsbEndpoint.h"

#include "engine/status/EngineStatus.h"
#include "usb/core/UsbStatus.h"

namespace Korvex {

CUsbEndpoint::CUsbEndpoint(std::uint8_t configuration, std::uint8_t interfaceNumber,
                           std::uint8_t alternate, std::uint8_t number, std::uint32_t kind,
                           CUsbEndpointEventObserver* observer)
    : m_configuration(configuration),
      m_interfaceNumber(interfaceNumber),
      m_alternate(alternate),
      m_address(static_cast<std::uint8_t>(
          (number & 0x0F) |
          ((kind == kUsbEndpointBulkIn || kind == kUsbEndpointInterruptIn) ? 0x80 : 0))),
      m_kind(kind),
      m_observer(observer)
{
}

void CUsbEndpoint::SetMaxPacketProperty(std::uint32_t, std::uint16_t, std::uint32_t* status)
{
    if (*status == 0) {
        *status = USB_STATUS_NOT_SUPPORTED;
    }
}

void CUsbEndpoint::SetInterval(std::uint32_t, std::uint8_t, std::uint32_t* status)
{
    if (*status == 0) {
        *status = USB_STATUS_NOT_SUPPORTED;
    }
}

void CUsbEndpoint::StartReceive(CByteBuffer*, std::uint32_t* status)
{
    if (*status == 0) {
        *status = ZODEVICE_STATUS_DRIVER_FAULT;
    }
}

void CUsbEndpoint::ExpectTransferRest(std::uint32_t, std::uint32_t) {}

void CUsbEndpoint::StartSend(CByteBuffer*, std::uint32_t* status)
{
    if (*status == 0) {
        *status = ZODEVICE_STATUS_DRIVER_FAULT;
    }
}

void CUsbEndpoint::FinishRequest(std::uint32_t* status)
{
    if (*status == 0) {
        *status = ZODEVICE_STATUS_DRIVER_FAULT;
    }
}

} // namespace Korvex
