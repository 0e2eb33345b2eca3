// An owner's view of endpoint 0 (the standard-request manager's, or an interface class's):
// each operation claims the control transfer in the device manager, calls the real default
// endpoint and releases it again, except a data stage, which keeps the claim until its
// completion comes back (routed to this owner) or it is cancelled.
#pragma once

#include <cstdint>

#include "usb/core/UsbEndpoint.h"

namespace Korvex {

class CUsbDeviceManager;

class CUsbSharedDefaultEndpoint : public CUsbEndpoint {
public:
    // observer: the owner's (hears OnOutComplete / OnInComplete with this endpoint).
    CUsbSharedDefaultEndpoint(CUsbDeviceManager* manager, CUsbEndpointEventObserver* observer);

    std::uint16_t GetMaxPacketSize(std::uint32_t speed) override;
    std::uint8_t GetInterval(std::uint32_t) override { return 0; }
    void StartReceive(CByteBuffer* chain, std::uint32_t* status) override;
    void StartSend(CByteBuffer* chain, std::uint32_t* status) override;
    std::uint32_t Abort(std::uint32_t* status) override;
    bool IsTransferDone(std::uint32_t* status) override;
    void Flush(std::uint32_t* status) override;
    void FinishRequest(std::uint32_t* status) override;
    void Halt(std::uint32_t* status) override;
    void ClearHalt(std::uint32_t* status) override;

    // From the device manager: the data stage this owner started has ended.
    void OnOutComplete(std::uint32_t code, std::uint32_t bytes, std::uint32_t* status);
    void OnInComplete(std::uint32_t code, std::uint32_t bytes, std::uint32_t* status);
    // Configuration change or bus reset: a running data stage is aborted and reported with
    // code 3.
    void Cancel(std::uint32_t* status);
    bool IsBusy() const { return m_transferState != 0; }

private:
    CUsbDeviceManager* m_manager;
    CUsbEndpoint* m_real = nullptr;  // while a data stage runs
};

} // namespace Korvex
