// Seeded malformed traffic: random class requests, Bulk-OUT transfers, aborts, clears and
// bus resets with short host deadlines; every 100 steps the host clears the device and a
// query must work. USBTMC_FUZZ_SEED and USBTMC_FUZZ_COUNT replay or lengthen a run.
#include <cstdlib>
#include <random>

#include "UsbtmcFixture.h"

namespace usbtmctest {
namespace {

std::uint32_t FromEnvironment(const char* name, std::uint32_t fallback)
{
    const char* text = std::getenv(name);
    return text != nullptr && *text != '\0' ? static_cast<std::uint32_t>(std::strtoul(text, nullptr, 0))
                                            : fallback;
}

class UsbtmcFuzz : public UsbtmcTest {
protected:
    static constexpr std::uint32_t kFuzzDeadlineMs = 20;

    // INITIATE_CLEAR, reading Bulk-IN while bmClear says so, until CHECK_CLEAR_STATUS is
    // SUCCESS; then the host clears the Bulk-OUT halt.
    void Recover()
    {
        usb.set_timeout_ms(500);
        bool cleared = false;
        for (int attempt = 0; attempt < 20 && !cleared; ++attempt) {
            const Bytes initiated = host.InitiateClear();
            if (initiated.empty()) {
                continue;
            }
            for (int check = 0; check < 200; ++check) {
                const Bytes status = host.CheckClear();
                if (status.size() != 2) {
                    break;
                }
                if (status[0] == 0x01) {
                    cleared = true;
                    break;
                }
                if (status[0] != 0x02) {
                    break;  // another split transaction: a new INITIATE_CLEAR closes it
                }
                if (status[1] != 0) {
                    Bytes drained;
                    usb.bulk_in(UsbtmcHost::kBulkIn, 1 << 20, &drained);
                }
            }
        }
        ASSERT_TRUE(cleared);
        ASSERT_EQ(usb.clear_halt(UsbtmcHost::kBulkOut), Result::Ok);
        usb.set_timeout_ms(kTimeoutMs);
    }
};

TEST_F(UsbtmcFuzz, MalformedTrafficNeverWedgesTheDevice)
{
    const std::uint32_t seed = FromEnvironment("USBTMC_FUZZ_SEED", 20261209);
    const std::uint32_t count = FromEnvironment("USBTMC_FUZZ_COUNT", 2000);
    SCOPED_TRACE("USBTMC_FUZZ_SEED=" + std::to_string(seed));
    std::mt19937 random(seed);
    auto pick = [&](std::uint32_t n) { return static_cast<std::uint32_t>(random() % n); };
    static const std::uint8_t kRequests[] = {1, 2, 3, 4, 5, 6, 7, 64, 128, 160, 161, 162, 0, 9, 255};
    static const std::uint8_t kTypes[] = {0xA1, 0xA2, 0x21, 0x22, 0xC1};
    static const std::uint8_t kIndices[] = {0, 0x02, 0x81, 0x83};
    usb.set_timeout_ms(kFuzzDeadlineMs);
    for (std::uint32_t step = 1; step <= count; ++step) {
        const std::uint32_t kind = pick(100);
        if (kind < 35) {
            Bytes reply;
            host.ClassIn(kTypes[pick(sizeof(kTypes))], kRequests[pick(sizeof(kRequests))],
                         static_cast<std::uint16_t>(pick(4) == 0 ? pick(65536) : pick(8)),
                         kIndices[pick(sizeof(kIndices))],
                         static_cast<std::uint16_t>(pick(4) == 0 ? pick(64) : 1 + pick(8)), &reply);
        } else if (kind < 60) {
            // A header with random fields, sometimes with a few bytes behind it.
            Bytes bytes = UsbtmcHost::Header(static_cast<std::uint8_t>(pick(3) == 0 ? pick(256) : 1 + pick(2)),
                                             static_cast<std::uint8_t>(pick(256)),
                                             pick(3) == 0 ? static_cast<std::uint32_t>(random()) : pick(40),
                                             static_cast<std::uint8_t>(pick(4)),
                                             static_cast<std::uint8_t>(pick(256)));
            if (pick(4) == 0) {
                bytes[2] = static_cast<std::uint8_t>(pick(256));
            }
            const std::uint32_t extra = pick(52);
            for (std::uint32_t i = 0; i < extra; ++i) {
                bytes.push_back(static_cast<std::uint8_t>('a' + pick(26)));
            }
            host.Send(bytes);
        } else if (kind < 75) {
            // Random bytes.
            Bytes bytes(pick(130));
            for (auto& byte : bytes) {
                byte = static_cast<std::uint8_t>(random());
            }
            host.Send(bytes, pick(2) == 0);
        } else if (kind < 85) {
            Bytes data;
            usb.bulk_in(UsbtmcHost::kBulkIn, 64 * (1 + pick(4)), &data);
        } else if (kind < 92) {
            host.Write("F" + std::to_string(step) + (pick(2) == 0 ? "?" : ""), pick(3) != 0);
        } else if (kind < 99) {
            host.Notification();
        } else {
            usb.set_timeout_ms(kTimeoutMs);
            ASSERT_EQ(usb.reset_device(), Result::Ok) << "step " << step;
            usb.set_timeout_ms(kFuzzDeadlineMs);
        }
        if (step % 100 == 0) {
            Recover();
            const std::string query = "STEP" + std::to_string(step) + "?";
            const Result w = host.Write(query);
            const Result r = host.RequestIn(4096);
            const auto in = host.ReadIn();
            if (in.data != Answer(query)) {
                std::string tail;
                const auto callbacks = device->Callbacks();
                for (std::size_t i = callbacks.size() > 6 ? callbacks.size() - 6 : 0; i < callbacks.size(); ++i) {
                    tail += std::string(1, callbacks[i].kind) + std::to_string(callbacks[i].value) + "[" + callbacks[i].text.substr(0, 20) + "] ";
                }
                ADD_FAILURE() << "step " << step << " w=" << int(w) << " r=" << int(r) << " in=" << int(in.result)
                              << " len=" << in.length << " size=" << in.transferSize << " data=" << in.data.substr(0, 40) << " cb=" << tail;
                return;
            }
            usb.set_timeout_ms(kFuzzDeadlineMs);
        }
    }
}

} // namespace
} // namespace usbtmctest
