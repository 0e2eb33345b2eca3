// A scripted DSP behind the host-port window for the link tests: sparse word memory, the
// address register, and a record of every access in order. Tests place replies in memory
// themselves; nothing answers by itself.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "Host/acquisition/CKorvexDSP.h"
#include "Host/parameters/Logger.h"
#include "platform/hpi/HpiWindow.h"

namespace KorvexTest {

namespace dsp = Korvex::CKorvexDSP;

class CFakeHpiDevice : public platform::hpi::HpiDevice {
public:
    enum Kind { Control, DataWrite, DataRead };
    struct Access {
        Kind kind;
        std::uint32_t address;  // DSP address of a data access; unused for Control
        std::uint32_t value;
    };

    void write(std::uint32_t offset, std::uint32_t value) override
    {
        std::lock_guard<std::mutex> lock(mutex);
        namespace hpi = platform::hpi;
        switch (offset) {
        case hpi::HPIC: accesses.push_back({Control, 0, value}); break;
        case hpi::HPIA: address = value; break;
        case hpi::HPID_WRITE_INC:
        case hpi::HPID_WRITE_FIXED:
            memory[address] = value;
            accesses.push_back({DataWrite, address, value});
            if (offset == hpi::HPID_WRITE_INC) address += 4;
            break;
        default: break;
        }
    }

    std::uint32_t read(std::uint32_t offset) override
    {
        std::lock_guard<std::mutex> lock(mutex);
        namespace hpi = platform::hpi;
        if (offset != hpi::HPID_READ_INC && offset != hpi::HPID_READ_FIXED) return 0;
        const std::uint32_t value = memory.count(address) != 0 ? memory[address] : 0;
        accesses.push_back({DataRead, address, value});
        if (offset == hpi::HPID_READ_INC) address += 4;
        return value;
    }

    void set_reset(bool) override {}

    void Put(std::uint32_t at, const std::vector<std::uint32_t>& words)
    {
        std::lock_guard<std::mutex> lock(mutex);
        for (std::size_t i = 0; i < words.size(); ++i) memory[at + 4 * static_cast<std::uint32_t>(i)] = words[i];
    }

    std::vector<std::uint32_t> Get(std::uint32_t at, std::uint32_t count)
    {
        std::lock_guard<std::mutex> lock(mutex);
        std::vector<std::uint32_t> words;
        for (std::uint32_t i = 0; i < count; ++i) {
            const auto it = memory.find(at + 4 * i);
            words.push_back(it != memory.end() ? it->second : 0);
        }
        return words;
    }

    std::vector<Access> TakeAccesses()
    {
        std::lock_guard<std::mutex> lock(mutex);
        std::vector<Access> taken;
        taken.swap(accesses);
        return taken;
    }

    // Places a reply: id in its mailbox, the frame with a correct check word (payload from
    // word 2 on, the rest zero), then optionally spoiled.
    void PutReply(std::uint32_t id, std::vector<std::uint32_t> payload = {},
                  bool breakCheck = false, bool errorFlag = false, std::uint32_t length = 0)
    {
        const std::uint32_t n = (length != 0 ? length : dsp::GetReplyLength(id)) / 4;
        std::vector<std::uint32_t> frame(n, 0);
        frame[0] = id;
        frame[1] = 0x5555;
        for (std::size_t i = 0; i < payload.size() && i + 3 < n; ++i) frame[2 + i] = payload[i];
        if (errorFlag) frame[2] |= dsp::ReplyErrorFlag;
        frame[n - 1] = dsp::ComputeCheckWord(frame.data(), n);
        if (breakCheck) frame[n - 1] ^= 1;
        Put(dsp::ReplyIdAddress, {id});
        Put(dsp::ReplyFrameAddress, frame);
    }

private:
    std::mutex mutex;
    std::uint32_t address = 0;
    std::map<std::uint32_t, std::uint32_t> memory;
    std::vector<Access> accesses;
};

// Attaches a fake device and brings the link to a known state: not booted, the DSP lock free.
class DspLinkFixture : public ::testing::Test {
protected:
    void SetUp() override
    {
        platform::hpi::attach(&device);
        ASSERT_TRUE(dsp::AcquireDSP());
        dsp::SetNotBooted();
        dsp::ReleaseDSP();
    }

    void TearDown() override
    {
        dsp::ReleaseDSP();
        platform::hpi::attach(nullptr);
    }

    // Receives SYSTEM_READY: the link is then ready.
    void Boot()
    {
        device.PutReply(dsp::SYSTEM_READY, {0, 0, 2, 5, 1, 8});
        std::uint32_t word = 0;
        ASSERT_EQ(dsp::ReceiveMessage(dsp::SYSTEM_READY, word), 0u);
        ASSERT_EQ(dsp::GetLinkState(), dsp::LinkReady);
        device.TakeAccesses();
    }

    // The request frame last written (length of its id).
    std::vector<std::uint32_t> SentFrame()
    {
        const std::uint32_t id = device.Get(dsp::RequestFrameAddress, 1)[0];
        return device.Get(dsp::RequestFrameAddress, dsp::GetRequestLength(id) / 4);
    }

    static std::string LogTail(std::size_t length)
    {
        char* contents = Korvex::Logger().GetContents();
        std::string all(contents);
        delete[] contents;
        return all.size() > length ? all.substr(all.size() - length) : all;
    }

    static bool LogEndsWith(const std::string& line) { return LogTail(line.size()) == line; }

    // Writes a unique marker so that a later check sees only what came after it.
    static void MarkLog()
    {
        static unsigned counter = 0;
        Korvex::Logger().Printf("-- test mark %u --\n", ++counter);
    }

    CFakeHpiDevice device;
};

}  // namespace KorvexTest
