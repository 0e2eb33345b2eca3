// Mutated datagrams through the loop's processing and the answer readers: every datagram
// sent in reply must be at most 1024 bytes and measure its own length, the table at most 512
// records (and the sanitizers silent). The corpus: queries captured from nmblookup and
// nbtscan (corpus/), and a datagram of each kind the service builds or answers. The seed is
// printed; set KORVEX_FUZZ_SEED to replay a run.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>

#include "Host/main/nbns/NbnsBrowse.h"
#include "Host/main/nbns/NbnsPacket.h"
#include "NbnsFixture.h"

namespace Korvex::nbns::test {
namespace {

constexpr int Inputs = 100000;

class NbnsFuzz : public NbnsFixture {
protected:
    NbnsFuzz() { withSockets = false; }

    std::vector<Bytes> Corpus()
    {
        std::vector<Bytes> corpus;
        const std::filesystem::path folder = std::filesystem::path(KORVEX_SOURCE_DIR) / "tests/Host/main/nbns/corpus";
        for (const auto& entry : std::filesystem::directory_iterator(folder)) {
            std::ifstream in(entry.path(), std::ios::binary);
            corpus.emplace_back(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
        }
        EXPECT_GE(corpus.size(), 4u);
        std::uint8_t out[MaxDatagram];
        const std::uint32_t own = Ip("192.0.2.50");
        for (NameRequest kind : {NameRequest::Registration, NameRequest::Refresh, NameRequest::Release})
            corpus.emplace_back(out, out + build_name_request(out, kind, 374, "Korvex_12345", own));
        corpus.emplace_back(out, out + build_name_query(out, 25199, "WORKGRP", 0x1D, true));
        corpus.emplace_back(out, out + build_status_request(out, 17039, "*", 0x00));
        corpus.push_back(Refresh(9, "PEER", 0x20, 0, Ip("192.0.2.1")));
        corpus.push_back(Request(10, 0x30, 0x00, "PEER", 0x20, 0x20, true, 0, 0, Ip("192.0.2.1")));
        corpus.push_back(Request(11, 0x29, 0x10, "KORVEX_12345", 0x20, 0x20, true, 300000, 0, Ip("192.0.2.1")));
        corpus.push_back(Query(12, "OTHER", 0x20, false));
        // The answers to all of them.
        const std::size_t requests = corpus.size();
        for (std::size_t i = 0; i < requests; ++i) Deliver(corpus[i]);
        for (const Sent& s : TakeSent()) corpus.push_back(s.data);
        EXPECT_GE(corpus.size(), requests + 6);
        return corpus;
    }
};

class Mutator {
public:
    explicit Mutator(std::uint32_t seed) : rng(seed) {}

    std::size_t Below(std::size_t n) { return std::uniform_int_distribution<std::size_t>(0, n - 1)(rng); }

    void Mutate(Bytes& b)
    {
        const std::size_t edits = 1 + Below(6);
        for (std::size_t i = 0; i < edits; ++i) {
            const std::size_t pos = b.empty() ? 0 : Below(b.size() + 1);
            const std::uint8_t interesting[] = {0, 1, 2, 0x20, 0x21, 0x3F, 0x40, 0x41, 0x50, 0x7F, 0x80, 0xC0, 0xFF};
            const std::uint8_t value = Below(2) ? interesting[Below(sizeof interesting)] : static_cast<std::uint8_t>(Below(256));
            switch (Below(7)) {
                case 0: b.insert(b.begin() + static_cast<std::ptrdiff_t>(pos), value); break;
                case 1:
                    if (pos < b.size()) b.erase(b.begin() + static_cast<std::ptrdiff_t>(pos));
                    break;
                case 2: b.resize(Below(b.size() + 1)); break;
                case 3: b.resize(std::min<std::size_t>(MaxDatagram, b.size() + Below(300)), static_cast<std::uint8_t>(Below(256))); break;
                case 4:  // a count field
                    if (b.size() >= 12) b[4 + 2 * Below(4) + Below(2)] = value;
                    break;
                default:
                    if (pos < b.size()) b[pos] = value;
                    break;
            }
        }
        if (b.size() > MaxDatagram) b.resize(MaxDatagram);
    }

    std::mt19937 rng;
};

TEST_F(NbnsFuzz, MutatedDatagrams)
{
    std::uint32_t seed = static_cast<std::uint32_t>(std::chrono::steady_clock::now().time_since_epoch().count());
    if (const char* env = std::getenv("KORVEX_FUZZ_SEED")) seed = static_cast<std::uint32_t>(std::strtoul(env, nullptr, 0));
    std::printf("nbns fuzz seed: %u\n", seed);
    RecordProperty("seed", std::to_string(seed));
    const std::vector<Bytes> corpus = Corpus();
    Mutator gen(seed);

    for (int i = 0; i < Inputs; ++i) {
        Bytes datagram = corpus[gen.Below(corpus.size())];
        gen.Mutate(datagram);
        if (gen.Below(50) == 0) clock.now += static_cast<std::int64_t>(gen.Below(200'000));
        if (i % 20000 == 0) nbns_init_state();
        Deliver(datagram, "192.0.2.1", static_cast<std::uint16_t>(gen.Below(3) * 1000));
        for (const Sent& s : TakeSent()) {
            ASSERT_LE(s.data.size(), MaxDatagram) << "input " << i;
            ASSERT_EQ(nmb_len(s.data.data(), s.data.size()), s.data.size()) << "input " << i;
        }
        ASSERT_LE(State().names.size(), MaxNameRecords) << "input " << i;

        const std::uint16_t trnId = datagram.size() >= 2 ? get16(datagram.data()) : 0;
        std::uint32_t address = 0;
        read_query_answer(datagram.data(), datagram.size(), trnId, address);
        char group[RecordNameSize] = {};
        read_status_answer(datagram.data(), datagram.size(), trnId, group);
        ASSERT_LT(std::strlen(group), 16u);
        char name[DecodedNameSize];
        name_extract(datagram.data(), datagram.size(), gen.Below(datagram.size() + 1), name);
        ASSERT_LE(std::strlen(name), 30u);
        const std::size_t measured = nmb_len(datagram.data(), datagram.size());
        ASSERT_LE(measured, datagram.size());
    }
}

}  // namespace
}  // namespace Korvex::nbns::test
