// Throughput of the parser thread: messages parsed and dispatched per second, each posted
// by a test host and waited for until the parser hands the input back; and the same
// messages parsed and dispatched on the caller's thread.
#include <benchmark/benchmark.h>
#include <semaphore.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "Host/parameters/Bindings.h"
#include "Host/parameters/ParameterNode.h"
#include "Host/scpi/parser/KorvexHostParser.h"
#include "Host/scpi/support/TestHost.h"

namespace {

using namespace Korvex;
using Korvex::test::CTestHost;

const std::string Identify = "*IDN?";
const std::string SweepTime = "SENS:SWE:TIME? MAX";
const std::string TwentyUnits =
    "*CLS;CONF:MODE MAN;LEV DEF;BAND DEF;POIN DEF;HYST DEF;:CONF:SEAR:LEV DEF;"
    ":SENS:SWE:TIME DEF;OFFS:TIME DEF;:SENS:SWE:FREQ DEF;:TRIG:COUN DEF;SLOP POS;TIM DEF;"
    ":FORM ASC;:UNIT T;:STAT:OPER:ENAB 0;NTR 0;:STAT:QUES:ENAB 0;*ESE 0;*SRE 0";

// The tree, a running parser and one host, built once for all benchmarks.
struct Bench {
    Bench()
    {
        const std::string path = std::string(KORVEX_SOURCE_DIR) + "/romfs/factory.xml";
        if (CParameterNode::LoadXmlFile(path, &root, nullptr) != 0) Abort("factory.xml");
        ParameterTreeRoot = root;
        if (KorvexBindSettingsNodes() != 0) Abort("bindings");
        parser = std::make_unique<CKorvexHostParser>();
        host = std::make_unique<CTestHost>(parser.get());
    }

    [[noreturn]] static void Abort(const std::string& what)
    {
        std::fprintf(stderr, "scpi_parser_bench: %s\n", what.c_str());
        std::abort();
    }

    // Runs the message once; it must leave no error behind.
    void Check(const std::string& message)
    {
        if (!host->Post(message)) Abort("no InputDone for " + message);
        const std::string error = host->Exchange("SYST:ERR?");
        if (error.compare(0, 2, "0,") != 0) Abort(message + " left " + error);
    }

    CParameterNode* root = nullptr;
    std::unique_ptr<CKorvexHostParser> parser;
    std::unique_ptr<CTestHost> host;
};

Bench& Instance()
{
    static Bench bench;
    return bench;
}

void Round(benchmark::State& state, const std::vector<std::string>& messages)
{
    Bench& bench = Instance();
    for (const std::string& m : messages) bench.Check(m);
    std::size_t i = 0;
    for (auto _ : state) {
        if (!bench.host->Post(messages[i])) Bench::Abort("time-out");
        i = (i + 1) % messages.size();
    }
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations()));
}

void BM_Identify(benchmark::State& state) { Round(state, {Identify}); }
void BM_SweepTimeMax(benchmark::State& state) { Round(state, {SweepTime}); }
void BM_TwentyUnits(benchmark::State& state) { Round(state, {TwentyUnits}); }
void BM_Mix(benchmark::State& state) { Round(state, {Identify, SweepTime, TwentyUnits}); }

// Parsing alone, on this thread while the parser thread is idle.
void BM_TwentyUnitsParseOnly(benchmark::State& state)
{
    Bench& bench = Instance();
    bench.Check(TwentyUnits);
    std::vector<ParsedCommand> records;
    std::string response;
    for (auto _ : state) {
        if (CKorvexHostParser::ParseMessage(TwentyUnits, records, &response) != 0)
            Bench::Abort("parse failed");
        benchmark::DoNotOptimize(records.data());
    }
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations()));
}

// Parse and dispatch on this thread, without the hand-off to the parser thread (which is
// idle meanwhile): what the hand-off costs is the difference to the figures above.
void OnCaller(benchmark::State& state, const std::string& message)
{
    Bench& bench = Instance();
    bench.Check(message);
    std::vector<ParsedCommand> records;
    std::string response;
    for (auto _ : state) {
        records.clear();
        response.clear();  // as the parser thread does for each message
        if (CKorvexHostParser::ParseMessage(message, records, &response) != 0) Bench::Abort("parse failed");
        for (ParsedCommand& record : records) bench.parser->_DispatchCommand(record, *bench.host);
    }
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations()));
}

void BM_IdentifyOnCaller(benchmark::State& state) { OnCaller(state, Identify); }
void BM_TwentyUnitsOnCaller(benchmark::State& state) { OnCaller(state, TwentyUnits); }

// The floor of any hand-off to a sleeping thread and back on this machine: two host threads
// passing a token through two semaphores, with no work at all. A message through the parser
// thread makes the same two wake-ups.
void BM_SleepingHandOffFloor(benchmark::State& state)
{
    sem_t there;
    sem_t back;
    sem_init(&there, 0, 0);
    sem_init(&back, 0, 0);
    std::atomic<bool> stop{false};
    std::thread partner([&] {
        for (;;) {
            sem_wait(&there);
            if (stop.load()) return;
            sem_post(&back);
        }
    });
    for (auto _ : state) {
        sem_post(&there);
        sem_wait(&back);
    }
    stop = true;
    sem_post(&there);
    partner.join();
    sem_destroy(&there);
    sem_destroy(&back);
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations()));
}

BENCHMARK(BM_SleepingHandOffFloor)->UseRealTime();
BENCHMARK(BM_Identify)->UseRealTime();
BENCHMARK(BM_IdentifyOnCaller)->UseRealTime();
BENCHMARK(BM_TwentyUnitsOnCaller)->UseRealTime();
BENCHMARK(BM_SweepTimeMax)->UseRealTime();
BENCHMARK(BM_TwentyUnits)->UseRealTime();
BENCHMARK(BM_Mix)->UseRealTime();
BENCHMARK(BM_TwentyUnitsParseOnly);

}  // namespace

BENCHMARK_MAIN();
