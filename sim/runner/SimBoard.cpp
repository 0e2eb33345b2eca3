#include "SimBoard.h"

#include <utility>

#include "Host/acquisition/CKorvexHostAcquisition.h"

namespace korvex_sim {

using Korvex::CKorvexHostAcquisition;

SimBoard::SimBoard(const sim::dsp::DspSimSettings& settings, bool dspRefusesBoot,
                   std::shared_ptr<sim::dsp::SimClock> clock)
    : dsp(settings, std::move(clock))
{
    dsp.refuse_boot(dspRefusesBoot);
    dsp.attach();
}

SimBoard::~SimBoard() { dsp.detach(); }

void SimBoard::StartAcquisition() { CKorvexHostAcquisition::Instance().Start(); }

bool SimBoard::WaitForDspStarted(std::uint16_t timeoutMs, std::uint8_t& versionAccepted,
                                 std::uint8_t& started)
{
    return CKorvexHostAcquisition::Instance().WaitForDspStarted(timeoutMs, versionAccepted,
                                                                started) != 0;
}

bool SimBoard::WaitForAcqStarted(std::uint16_t timeoutMs)
{
    return CKorvexHostAcquisition::Instance().WaitForAcqStarted(timeoutMs) != 0;
}

}  // namespace korvex_sim
