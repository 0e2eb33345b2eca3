#include "SimBoard.h"

#include <utility>

namespace korvex_sim {

SimBoard::SimBoard(const sim::dsp::DspSimSettings& settings, bool dspRefusesBoot,
                   std::shared_ptr<sim::dsp::SimClock> clock)
    : dsp(settings, std::move(clock))
{
    dsp.refuse_boot(dspRefusesBoot);
    dsp.attach();
}

SimBoard::~SimBoard() { dsp.detach(); }

}  // namespace korvex_sim
