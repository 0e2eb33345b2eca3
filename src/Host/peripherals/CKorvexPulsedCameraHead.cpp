#include "Host/peripherals/CKorvexPulsedCameraHead.h"

#include "Host/parameters/Error.h"

namespace Korvex {

namespace {

// The camera's channel with the head number appended (a full channel has no room for it).
CKorvexChannel HeadChannel(const CKorvexPulsedCamera* camera, std::uint8_t head) {
    CKorvexChannel c = camera->GetChannel();
    if (c.count < CKorvexChannel::MaxLevels) c.AddLevel(head);
    return c;
}

}  // namespace

CKorvexPulsedCameraHead::CKorvexPulsedCameraHead(CKorvexPulsedCamera* owner, std::uint8_t number)
    : CKorvexPwMeasuringPeripheral(HeadChannel(owner, number)), camera(owner), head(number) {}

int CKorvexPulsedCameraHead::ReadDeviceMemory(std::vector<std::uint8_t>& /*bytes*/) { return eNoData; }

int CKorvexPulsedCameraHead::WriteDeviceMemory(const std::vector<std::uint8_t>& /*bytes*/) {
    return eNoData;
}

int CKorvexPulsedCameraHead::Activate() {
    if (channel.count != camera->GetChannel().count + 1) return eNoPeripheralConnected;
    return RouteTo(channel, camera->GetIdentifierWord(), camera->GetIdentifierNumber());
}

const PwPhysicalInformation& CKorvexPulsedCameraHead::Info() const {
    const PwPhysicalInformation* info = camera->HeadRecord(head);
    return info ? *info : PwDefaultPhysicalInformation();
}

}  // namespace Korvex
