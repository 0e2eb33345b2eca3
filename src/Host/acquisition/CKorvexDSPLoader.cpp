#include "Host/acquisition/CKorvexDSPLoader.h"

#include "Host/acquisition/CKorvexDSP.h"
#include "Host/parameters/Error.h"
#include "Host/parameters/Logger.h"
#include "board/hpi.h"

namespace Korvex {

CKorvexDSPLoader::CKorvexDSPLoader() = default;
CKorvexDSPLoader::~CKorvexDSPLoader() = default;

bool CKorvexDSPLoader::LoadBlock(std::uint32_t address, const std::vector<std::uint32_t>& words) {
    Logger().Printf("Loading code at 0x%08X , size %zd bytes\n", address, words.size() * 4);
    hpi_write_block(address, words.data(), static_cast<std::uint32_t>(words.size()));
    for (std::size_t i = 0; i < words.size(); ++i)
        if (hpi_read_word(address + static_cast<std::uint32_t>(4 * i)) != words[i]) return false;
    return true;
}

namespace CKorvexDSP {

const char* const DSPProgramPath = "/romfs/Pulsed_Wave_Strip.out";

namespace {

// Holds the DSP lock for the load; released however the load ends. A broken wait for the
// lock is a failure: the DSP must not be reset under another thread's exchange.
struct DSPLockHold {
    DSPLockHold() {
        if (!AcquireDSP()) throw eGeneralFailure;
    }
    ~DSPLockHold() { ReleaseDSP(); }
    DSPLockHold(const DSPLockHold&) = delete;
    DSPLockHold& operator=(const DSPLockHold&) = delete;
};

}  // namespace

std::uint32_t LoadDSPCode() {
    Logger().Printf("CKorvexDSP::LoadDSPCode\n");
    DSPLockHold hold;
    dsp_hard_reset(1);
    SetNotBooted();
    dsp_emif_init();
    {
        CKorvexDSPLoader loader;
        if (!loader.Load(DSPProgramPath)) throw eAcquisitionNotUp;
        hpi_raise_dsp_interrupt();
    }
    Logger().Printf("DSP code loaded!\n");
    return eOk;
}

}  // namespace CKorvexDSP

}  // namespace Korvex
