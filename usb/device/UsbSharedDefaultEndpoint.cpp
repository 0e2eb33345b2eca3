#include "usb/device/UsbSharedDefaultEndpoint.h"

#include "usb/device/UsbDeviceManager.h"

namespace Korvex {

namespace {
constexpr std::uint32_t kOutStage = 0x8800;
constexpr std::uint32_t kInStage = 0x8400;
} // namespace

CUsbSharedDefaultEndpoint::CUsbSharedDefaultEndpoint(CUsbDeviceManager* manager,
                                                     CUsbEndpointEventObserver* observer)
    : CUsbEndpoint(0, 0, 0, 0, kUsbEndpointControl, observer), m_manager(manager)
{
}

std::uint16_t CUsbSharedDefaultEndpoint::GetMaxPacketSize(std::uint32_t speed)
{
    return m_manager->GetDefaultEndpoint()->GetMaxPacketSize(speed);
}

void CUsbSharedDefaultEndpoint::StartReceive(CByteBuffer* chain, std::uint32_t* status)
{
    if (*status != 0) {
        return;
    }
    CUsbEndpoint* real = m_manager->ClaimControl(this, status);
    if (*status != 0) {
        return;
    }
    real->StartReceive(chain, status);
    if (*status != 0) {
        m_manager->ReleaseControl(this);
        return;
    }
    m_real = real;
    m_transferState = kOutStage;
}

void CUsbSharedDefaultEndpoint::StartSend(CByteBuffer* chain, std::uint32_t* status)
{
    if (*status != 0) {
        return;
    }
    CUsbEndpoint* real = m_manager->ClaimControl(this, status);
    if (*status != 0) {
        return;
    }
    real->StartSend(chain, status);
    if (*status != 0) {
        m_manager->ReleaseControl(this);
        return;
    }
    m_real = real;
    m_transferState = kInStage;
}

std::uint32_t CUsbSharedDefaultEndpoint::Abort(std::uint32_t* status)
{
    if (*status != 0) {
        return 0;
    }
    CUsbEndpoint* real = m_manager->ClaimControl(this, status);
    if (*status != 0) {
        return 0;
    }
    const std::uint32_t moved = real->Abort(status);
    m_manager->ReleaseControl(this);
    m_real = nullptr;
    m_transferState = 0;
    return moved;
}

bool CUsbSharedDefaultEndpoint::IsTransferDone(std::uint32_t* status)
{
    return *status == 0 && m_manager->GetDefaultEndpoint()->IsTransferDone(status);
}

void CUsbSharedDefaultEndpoint::Flush(std::uint32_t* status)
{
    if (*status == 0) {
        m_manager->GetDefaultEndpoint()->Flush(status);
    }
}

void CUsbSharedDefaultEndpoint::FinishRequest(std::uint32_t* status)
{
    if (*status != 0) {
        return;
    }
    CUsbEndpoint* real = m_manager->ClaimControl(this, status);
    if (*status == 0) {
        real->FinishRequest(status);
        m_manager->ReleaseControl(this);
    }
}

void CUsbSharedDefaultEndpoint::Halt(std::uint32_t* status)
{
    if (*status != 0) {
        return;
    }
    CUsbEndpoint* real = m_manager->ClaimControl(this, status);
    if (*status == 0) {
        real->Halt(status);
        m_manager->ReleaseControl(this);
    }
}

void CUsbSharedDefaultEndpoint::ClearHalt(std::uint32_t* status)
{
    if (*status != 0) {
        return;
    }
    CUsbEndpoint* real = m_manager->ClaimControl(this, status);
    if (*status == 0) {
        real->ClearHalt(status);
        m_manager->ReleaseControl(this);
    }
}

void CUsbSharedDefaultEndpoint::OnOutComplete(std::uint32_t code, std::uint32_t bytes,
                                              std::uint32_t* status)
{
    m_manager->ReleaseControl(this);
    m_real = nullptr;
    m_transferState = 0;
    if (m_observer != nullptr) {
        m_observer->OnOutComplete(this, code, bytes, status);
    }
}

void CUsbSharedDefaultEndpoint::OnInComplete(std::uint32_t code, std::uint32_t bytes,
                                             std::uint32_t* status)
{
    m_manager->ReleaseControl(this);
    m_real = nullptr;
    m_transferState = 0;
    if (m_observer != nullptr) {
        m_observer->OnInComplete(this, code, bytes, status);
    }
}

void CUsbSharedDefaultEndpoint::Cancel(std::uint32_t* status)
{
    if (m_transferState == 0 || m_real == nullptr) {
        return;
    }
    const bool out = (m_transferState & 0x0800) != 0;
    std::uint32_t ignored = 0;
    const std::uint32_t moved = m_real->Abort(&ignored);
    m_manager->ReleaseControl(this);
    m_real = nullptr;
    m_transferState = 0;
    if (m_observer == nullptr) {
        return;
    }
    if (out) {
        m_observer->OnOutComplete(this, kUsbCompletionAborted, moved, status);
    } else {
        m_observer->OnInComplete(this, kUsbCompletionAborted, moved, status);
    }
}

} // namespace Korvex
