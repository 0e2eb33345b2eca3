// The factory tree, an idle parser (its thread never starts: its pattern table is empty)
// and one host whose status block the handlers work on. Run() calls a command's handler
// the way the dispatcher does, with the reply mark set at the current response length.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "Host/scpi/exec/RecordFixture.h"
#include "Host/scpi/handlers/CommandHandlers.h"
#include "Host/scpi/host/KorvexHost.h"
#include "Host/scpi/parser/KorvexHostParser.h"
#include "Host/scpi/status/KorvexScpiStatus.h"
#include "Host/scpi/status/FakeServiceRequester.h"

namespace Korvex::test {

class CHandlerTestHost : public CKorvexHost {
public:
    CHandlerTestHost(IServiceRequester* device, CKorvexHostParser* parser)
        : CKorvexHost(device, parser)
    {
    }
    ~CHandlerTestHost() override { ReleaseAtParser(); }

    // Stands for a response queued in the engine (the block's message-available source).
    void SetPending(const void* response) { pendingResponse.store(response); }
};

class HandlerFixture : public RecordTreeFixture {
protected:
    void SetUp() override
    {
        RecordTreeFixture::SetUp();
        parser = std::make_unique<CKorvexHostParser>(NoPatterns);
        host = std::make_unique<CHandlerTestHost>(&device, parser.get());
        block = host->StatusBlock();
    }

    void TearDown() override
    {
        host.reset();
        parser.reset();
        // Let the shared blocks drop the pulse bits that all-sessions rows left behind.
        CKorvexScpiStatus::UpdateAllSessions();
        RecordTreeFixture::TearDown();
    }

    // Parses one unit and runs its handler; the reply is what the handler appended.
    ParsedCommand Run(const std::string& unit)
    {
        response.clear();
        ParsedCommand record = Parse(unit);
        record.mark = static_cast<std::uint32_t>(response.size());
        const ScpiCommandHandler handler = ScpiCommandHandlerTable[record.command];
        EXPECT_NE(handler, nullptr) << unit;
        if (handler != nullptr) handler(*parser, record, *host);
        return record;
    }

    // The reply of a query that must not fail.
    std::string Query(const std::string& unit)
    {
        const ParsedCommand record = Run(unit);
        EXPECT_EQ(record.status, 0) << unit;
        return response;
    }

    static constexpr const char* NoPatterns[] = {""};

    KorvexTest::CFakeServiceRequester device;
    std::unique_ptr<CKorvexHostParser> parser;
    std::unique_ptr<CHandlerTestHost> host;
    CKorvexScpiStatus* block = nullptr;
};

}  // namespace Korvex::test
