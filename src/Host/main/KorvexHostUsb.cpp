#include "Host/main/KorvexHostUsb.h"

namespace Korvex {

CKorvexHostUsb::CKorvexHostUsb(CKorvexHostParser* parser, std::uint16_t vendorId,
                               std::uint16_t productId, std::uint16_t versionBcd,
                               const std::string& manufacturer, const std::string& model,
                               const std::string& serial)
    : CKorvexEngineHost(KindUsb, parser)
{
    if (!HostPartOpened()) return;
    ZODEVICE_STATUS status =
        CUsbDevice::Open(vendorId, productId, versionBcd, manufacturer.c_str(), model.c_str(),
                         serial.c_str(), nullptr, nullptr, MaxPower, 1, 0, true);
    if (status == 0) status = PostInputBuffer();
    if (status == 0) status = EnableTriggerEvent();
    if (status == 0) status = EnableStatusByteRequestEvent();
    opened = status == 0 ? 1 : 0;
}

CKorvexHostUsb::~CKorvexHostUsb() { Close(); }

}  // namespace Korvex
