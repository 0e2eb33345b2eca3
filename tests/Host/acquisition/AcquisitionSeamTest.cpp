#include "Host/acquisition/AcquisitionSeam.h"

#include <gtest/gtest.h>

#include "Host/acquisition/AcqBufferPool.h"
#include "Host/acquisition/AcquisitionStatusBits.h"
#include "Host/acquisition/IntermediateResults.h"
#include "Host/parameters/Error.h"
#include "Host/scpi/status/KorvexScpiStatus.h"

namespace {

TEST(StoresSeam, DefaultSeamAnswersAcquisitionNotUp) {
    Korvex::CAcquisitionSeam& seam = Korvex::CAcquisitionSeam::Instance();
    EXPECT_FALSE(seam.TriggerActive());
    EXPECT_EQ(seam.SendBusTrigger(), Korvex::eAcquisitionNotUp);
    EXPECT_EQ(seam.RetrieveIntermediateResults(), Korvex::eAcquisitionNotUp);
    EXPECT_EQ(Korvex::IntermediateResults().LockForRead(), Korvex::eAcquisitionNotUp);
    EXPECT_EQ(&Korvex::IntermediateResults(), &Korvex::IntermediateResults());
}

TEST(StoresSeam, OnePoolOfThreeBuffersAndReleaseOfTheReadBuffer) {
    using Korvex::AcqBuffer;
    Korvex::CAcqBufferPool& pool = Korvex::AcqBufferPool();
    ASSERT_EQ(&pool, &Korvex::AcqBufferPool());
    pool.Reset();
    pool.AllocateBuffers(2);

    // Reading one, one full, one filling: the free queue is empty.
    AcqBuffer* a = pool.TakeBuffer(Korvex::eAcqProducerSide);
    AcqBuffer* b = pool.ReleaseAndTake(a, Korvex::eAcqProducerSide);
    ASSERT_EQ(pool.TakeBuffer(Korvex::eAcqReaderSide), a);
    AcqBuffer* c = pool.ReleaseAndTake(b, Korvex::eAcqProducerSide);
    ASSERT_NE(c, nullptr);
    EXPECT_NE(c, a);
    EXPECT_NE(c, b);
    pool.ReleaseAndTake(c, Korvex::eAcqProducerSide);  // b overtaken: free again

    Korvex::KorvexReleaseReadBuffer();  // c is newer: a goes free
    EXPECT_EQ(pool.GetCurrentBuffer(Korvex::eAcqReaderSide), nullptr);
    EXPECT_EQ(a->state, Korvex::eAcqBufferFree);
    Korvex::KorvexReleaseReadBuffer();  // nothing being read: nothing changes
    EXPECT_EQ(pool.TakeBuffer(Korvex::eAcqReaderSide), c);
    Korvex::KorvexReleaseReadBuffer();
    pool.Reset();
}

TEST(StoresStatusBits, AcquisitionStateRows) {
    using S = Korvex::CKorvexScpiStatus;
    S session(nullptr, nullptr, nullptr);
    auto operation = [&] {
        return S::ReadCondition(&session, Korvex::eRegOperation) & 0x38;  // rows 18-20
    };
    const std::uint16_t expected[] = {0x00, 0x08, 0x30, 0x10};
    for (std::uint32_t state : {1u, 2u, 3u, 0u, 2u}) {
        Korvex::KorvexSetAcquisitionStatusBits(state);
        EXPECT_EQ(operation(), expected[state]) << "state " << state;
        EXPECT_EQ(S::ReadCondition(&Korvex::InstrumentBlock(), Korvex::eRegOperation) & 0x38,
                  expected[state]);
    }
    Korvex::KorvexSetAcquisitionStatusBits(4);  // changes nothing
    EXPECT_EQ(operation(), 0x30);
    Korvex::KorvexSetAcquisitionStatusBits(0);
    EXPECT_EQ(operation(), 0x00);
}

}  // namespace
