// The host-interface object of the VXI-11 (TCP/IP) module: one engine device session of
// server kind 1 joined to the SCPI parser.
#pragma once

#include "Host/main/KorvexEngineHost.h"
#include "engine/device/TcpIpDevice.h"

namespace Korvex {

class CKorvexHostEthernet : public CTcpIpDevice, public CKorvexEngineHost {
public:
    // Opens the session (remote/local reports with the lockout states, input queue,
    // trigger and status-byte request events); Opened() tells whether every step passed.
    explicit CKorvexHostEthernet(CKorvexHostParser* parser = nullptr);
    // Closes the session first, so no callback runs on a dying object.
    ~CKorvexHostEthernet() override;
};

}  // namespace Korvex
