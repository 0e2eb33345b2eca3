#include "Host/main/KorvexHostEthernet.h"

namespace Korvex {

CKorvexHostEthernet::CKorvexHostEthernet(CKorvexHostParser* parser)
    : CKorvexEngineHost(KindEthernet, parser)
{
    if (!HostPartOpened()) return;
    ZODEVICE_STATUS status = CTcpIpDevice::Open(0, nullptr, true);
    if (status == 0) status = EnableRemoteLocalEvent(1);
    if (status == 0) status = PostInputBuffer();
    if (status == 0) status = EnableTriggerEvent();
    if (status == 0) status = EnableStatusByteRequestEvent();
    opened = status == 0 ? 1 : 0;
}

CKorvexHostEthernet::~CKorvexHostEthernet() { Close(); }

}  // namespace Korvex
