#include "Host/acquisition/IntermediateResults.h"

#include <gtest/gtest.h>

#include <atomic>

#include "Host/acquisition/AcquisitionSeam.h"
#include "Host/parameters/Bindings.h"
#include "Host/parameters/ParameterNode.h"
#include "StoresTestSupport.h"
#include "platform/KernelTestSupport.h"

using Korvex::CIntermediateResults;

namespace {

// True when another kernel thread can take and release the data lock.
bool FreeForAnotherThread(CIntermediateResults& store) {
    kernel::test::TestThread other([&] {
        store.Lock();
        store.Unlock();
    });
    kernel::thread_resume(other.handle);
    bool exited = kernel::test::WaitExited(other.handle);
    kernel::thread_delete(other.handle);
    return exited;
}

TEST(StoresIntermediate, TwoReadLocksOneUnlockFreeTheData) {
    CIntermediateResults store;
    store.SetReady();
    EXPECT_EQ(store.LockForRead(), 0);
    EXPECT_EQ(store.LockForRead(), 0);
    store.Unlock();
    EXPECT_TRUE(FreeForAnotherThread(store));
}

TEST(StoresIntermediate, ReadyDataIsNotRetrievedAgain) {
    CIntermediateResults store;
    KorvexTest::CFakeAcquisition fake(store);
    KorvexTest::CSeamInstaller installed(&fake);

    EXPECT_EQ(store.LockForRead(), 0);  // not ready: retrieved once
    EXPECT_EQ(fake.retrievals.load(), 1);
    EXPECT_EQ(store.nmrSignalLength, 1u);
    EXPECT_EQ(store.LockForRead(), 0);  // ready: no DSP exchange
    EXPECT_EQ(fake.retrievals.load(), 1);
    store.Unlock();

    store.ClearReady();
    EXPECT_EQ(store.LockForRead(), 0);
    EXPECT_EQ(fake.retrievals.load(), 2);
    store.Unlock();
}

TEST(StoresIntermediate, FailedRetrievalReturnsItsCodeAndLeavesTheDataFree) {
    CIntermediateResults store;
    KorvexTest::CFakeAcquisition fake(store);
    fake.result = Korvex::eDspExchangeFailed;
    KorvexTest::CSeamInstaller installed(&fake);
    EXPECT_EQ(store.LockForRead(), Korvex::eDspExchangeFailed);
    EXPECT_TRUE(FreeForAnotherThread(store));
}

TEST(StoresIntermediate, BrokenLockWaitIsReportedNotSuccess) {
    CIntermediateResults store;
    store.SetReady();
    store.Lock();
    std::atomic<int> result{-1};
    kernel::test::TestThread reader([&] { result = store.LockForRead(); });
    kernel::thread_resume(reader.handle);
    ASSERT_TRUE(kernel::test::WaitBlocked(reader.handle));
    kernel::thread_release(reader.handle);
    ASSERT_TRUE(kernel::test::WaitExited(reader.handle));
    kernel::thread_delete(reader.handle);
    EXPECT_EQ(result.load(), Korvex::eGeneralFailure);
    store.Unlock();
}

TEST(StoresIntermediate, AllocateTakesTheSizeMaximaOnce) {
    using Korvex::CParameterNode;
    CParameterNode* sizes[4];
    CParameterNode** bound[4] = {&Korvex::g_pNmrSignalSize, &Korvex::g_pFftBufferSize,
                                 &Korvex::g_pPeakSpectrumSize, &Korvex::g_pFitCoeffsSize};
    CParameterNode* previous[4];
    for (int i = 0; i < 4; ++i) {
        sizes[i] = new CParameterNode(Korvex::eNodeInt32, "size");
        CParameterNode::SetInt32Attribute(sizes[i], Korvex::eAttrMaximum, 16 << i);
        previous[i] = *bound[i];
        *bound[i] = sizes[i];
    }
    CParameterNode::SetInt32Attribute(sizes[3], Korvex::eAttrMaximum, -1);

    CIntermediateResults store;
    store.Allocate();
    EXPECT_EQ(store.nmrSignalCapacity, 16u);
    EXPECT_EQ(store.fftBufferCapacity, 32u);
    EXPECT_EQ(store.peakSpectrumCapacity, 64u);
    EXPECT_EQ(store.fitCoefficientsCapacity, 0u);  // no usable maximum: nothing allocated
    EXPECT_EQ(store.fitCoefficients, nullptr);
    EXPECT_EQ(store.nmrSignal[15], 0u);

    std::uint32_t* nmr = store.nmrSignal;
    CParameterNode::SetInt32Attribute(sizes[0], Korvex::eAttrMaximum, 1000);
    CParameterNode::SetInt32Attribute(sizes[3], Korvex::eAttrMaximum, 4);
    store.Allocate();
    EXPECT_EQ(store.nmrSignal, nmr);
    EXPECT_EQ(store.nmrSignalCapacity, 16u);
    EXPECT_EQ(store.fitCoefficientsCapacity, 4u);

    for (int i = 0; i < 4; ++i) {
        *bound[i] = previous[i];
        CParameterNode::Delete(sizes[i]);
    }
}

}  // namespace
