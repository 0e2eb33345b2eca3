#include "SimBoard.h"

namespace korvex_sim {

SimBoard::SimBoard(const sim::dsp::DspSimSettings& settings, bool dspRefusesBoot) : dsp(settings)
{
    dsp.refuse_boot(dspRefusesBoot);
    dsp.attach();
}

SimBoard::~SimBoard() { dsp.detach(); }

}  // namespace korvex_sim
