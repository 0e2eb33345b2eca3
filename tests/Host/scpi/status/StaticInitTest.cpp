// A block built by a static initialiser of another unit, before main() and possibly before
// the status model's own statics.
#include <gtest/gtest.h>

#include "Host/scpi/status/KorvexScpiStatus.h"

using Korvex::CKorvexScpiStatus;
using S = Korvex::CKorvexScpiStatus;

namespace {

struct EarlyState {
    CKorvexScpiStatus* block;
    std::uint16_t esr;
    std::uint32_t error;
};

EarlyState BuildEarly() {
    auto* block = new CKorvexScpiStatus(nullptr, nullptr, &Korvex::GlobalBlock());
    S::PostError(block, 12, 0);
    const std::uint16_t esr = S::ReadAndClearEvent(block, Korvex::eRegStandardEvent);
    return {block, esr, S::PopError(block)};
}

// Never destroyed, like the instrument's own static blocks.
const EarlyState early = BuildEarly();

TEST(ScpiStatusStaticInit, BlockBuiltBeforeMainWorks) {
    EXPECT_EQ(early.esr, 0x80 | 0x20);
    EXPECT_EQ(early.error, 12u);
    // It is in the session list: all-sessions bits reach it. (Other tests of this program
    // may have left other QUEStionable bits behind.)
    S::SetInstrumentStatusBit(34, 1, 0);
    EXPECT_EQ(S::ReadCondition(early.block, Korvex::eRegQuestionable) & 0x20, 0x20);
    EXPECT_EQ(S::ReadCondition(&Korvex::GlobalBlock(), Korvex::eRegQuestionable) & 0x20, 0x20);
    EXPECT_EQ(S::ReadCondition(&Korvex::InstrumentBlock(), Korvex::eRegQuestionable) & 0x20, 0x20);
    S::SetInstrumentStatusBit(34, 0, 0);
    EXPECT_EQ(S::ReadCondition(early.block, Korvex::eRegQuestionable) & 0x20, 0);
}

}  // namespace
