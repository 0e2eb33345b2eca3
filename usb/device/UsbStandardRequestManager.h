// The chapter-9 standard requests of the default endpoint. A malformed or unsupported
// request is stalled; the request errors (0x543A1-0x543A4) leave the caller's status clear.
#pragma once

#include <cstdint>

#include "usb/core/UsbEventObservers.h"
#include "usb/device/UsbSharedDefaultEndpoint.h"

namespace Korvex {

class CUsbDeviceManager;

class CUsbStandardRequestManager : public CUsbEndpointEventObserver {
public:
    explicit CUsbStandardRequestManager(CUsbDeviceManager* manager);
    ~CUsbStandardRequestManager() override = default;

    void OnSetup(const UsbSetupPacket& setup, std::uint32_t* status) override;
    // The reply's data stage ended.
    void OnOutComplete(CUsbEndpoint* endpoint, std::uint32_t code, std::uint32_t bytes,
                       std::uint32_t* status) override;
    void OnInComplete(CUsbEndpoint* endpoint, std::uint32_t code, std::uint32_t bytes,
                      std::uint32_t* status) override;

    CUsbSharedDefaultEndpoint* GetEndpoint() { return &m_endpoint; }
    bool IsDataStagePending() const { return m_dataStagePending != 0; }

private:
    void Handle(const UsbSetupPacket& setup, std::uint32_t* status);
    void Reply(const std::uint8_t* bytes, std::uint32_t length, std::uint32_t* status);
    void GetDescriptor(const UsbSetupPacket& setup, std::uint32_t* status);

    CUsbDeviceManager* m_manager;
    CUsbSharedDefaultEndpoint m_endpoint;
    std::uint8_t m_dataStagePending = 0;
};

} // namespace Korvex
