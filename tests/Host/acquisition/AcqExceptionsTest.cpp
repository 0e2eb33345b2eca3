#include <gtest/gtest.h>

#include <string>

#include "Host/acquisition/AcqExceptions.h"

using namespace Korvex;

TEST(AcqExceptions, FatalTextNamesTheControllerSourceAndLine) {
    try {
        throw CFatalAcqException(AcqLocation(eFatalDspVersion));
    } catch (const CKorvexException& e) {
        EXPECT_STREQ(e.what(),
                     "HostAcq fatal exception at: src/Host/CKorvexHostAcquisition.cpp:905.\n");
        EXPECT_EQ(e.Code(), 0);
    }
}

TEST(AcqExceptions, ErrorAndAbortFamilies) {
    try {
        throw CAcqError(50);
    } catch (const CAcqException& e) {
        EXPECT_TRUE(e.IsError());
        EXPECT_FALSE(e.IsAbort());
        EXPECT_STREQ(e.what(), "HostAcq encountered an error.\n");
        EXPECT_EQ(dynamic_cast<const CAcqError&>(e).Error(), 50);
    }
    CAcqError located(38, AcqLocation(1203));
    EXPECT_STREQ(located.what(),
                 "HostAcq encountered an error at: src/Host/CKorvexHostAcquisition.cpp:1203.\n");

    kernel::Semaphore done;
    try {
        throw CAbortException(&done);
    } catch (const CAcqException& e) {
        EXPECT_TRUE(e.IsAbort());
        EXPECT_FALSE(e.IsError());
        EXPECT_STREQ(e.what(), "HostAcq was asked to abort.\n");
        EXPECT_EQ(dynamic_cast<const CAbortException&>(e).Completion(), &done);
    }
    EXPECT_EQ(CAbortException(nullptr).Completion(), nullptr);
}

TEST(AcqExceptions, LinkAndLoaderTexts) {
    EXPECT_STREQ(CDSPIFException().what(), "The DSP Interface has received an unforeseen event.\n");
    EXPECT_STREQ(CDSPNotBootedException().what(),
                 "The DSP Interface has been asked to perform an operation while not booted.\n");
    EXPECT_STREQ(CCOFFParserException("Invalid COFF Magic Number.").what(),
                 "Invalid COFF Magic Number.");
    // None of them is an acquisition exception: the flows' catchers must let them pass.
    const CKorvexException& e = CDSPIFException();
    EXPECT_EQ(dynamic_cast<const CAcqException*>(&e), nullptr);
}
