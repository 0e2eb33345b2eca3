// An engine device opened over the real USB server (server kind 2 built by the USB builder)
// on the SoC model, enumerated by the simulated host. Every test ends with the model's
// violation counter at 0.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <thread>

#include "UsbtmcHost.h"
#include "engine/api/ZoDeviceApi.h"
#include "engine/device/ZoDeviceBuffer.h"
#include "engine/TestDevice.h"
#include "platform/soc/UsbdModel.h"
#include "usb/transport/UsbServerBuilder.h"

namespace usbtmctest {

// Polls cond every millisecond until it holds or timeoutMs passed (by default a deadline
// generous enough for a loaded machine: a wait that is met returns at once).
inline bool Eventually(const std::function<bool()>& cond, int timeoutMs = 30000)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!cond()) {
        if (std::chrono::steady_clock::now() > deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

// Keeps the device's event thread in a message callback until released.
class Latch {
public:
    void Wait()
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        m_entered = true;
        m_changed.notify_all();
        m_changed.wait(lock, [this] { return m_open; });
    }
    bool WaitEntered()
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        return m_changed.wait_for(lock, std::chrono::seconds(30), [this] { return m_entered; });
    }
    void Open()
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_open = true;
        m_changed.notify_all();
    }

private:
    std::mutex m_mutex;
    std::condition_variable m_changed;
    bool m_entered = false;
    bool m_open = false;
};

class UsbtmcTest : public ::testing::Test {
protected:
    // Generous: sanitizer builds on a loaded machine are slow. Tests that expect no answer
    // set a short deadline themselves.
    static constexpr std::uint32_t kTimeoutMs = 10000;

    void SetUp() override
    {
        platform::soc::usbd().power_on();
        platform::soc::usbd().clear_violations();
        platform::soc::usbd().set_flush_reads(1);
        usb.set_timeout_ms(kTimeoutMs);
        usb_install_server_builder();
        ASSERT_EQ(Korvex::zo_device_initialize(), 0);
        ASSERT_EQ(Korvex::zo_device_start_usb_server(), 0);
        device = std::make_unique<Korvex::TestDevice>(4096);
        BeforeOpen();
        ASSERT_EQ(device->OpenUsb(), 0u);
        ASSERT_EQ(Enumerate(), Result::Ok);
    }

    Result Enumerate() { return usbtmctest::Enumerate(usb); }

    void TearDown() override
    {
        device.reset();
        Korvex::zo_device_stop_usb_server();
        EXPECT_EQ(platform::soc::usbd().violations(), 0u)
            << platform::soc::usbd().last_violation();
    }

    // Runs before the device opens (enable events here).
    virtual void BeforeOpen() {}

    // The device answers the next message (whatever it is) with text, queued with END.
    void AnswerNextWith(const std::string& text)
    {
        big = std::make_unique<Korvex::CZoDeviceBuffer>(
            static_cast<std::uint32_t>((text.size() + 3) / 4 * 4), nullptr);
        std::memcpy(big->data, text.data(), text.size());
        big->count = static_cast<std::uint32_t>(text.size());
        answerBig = true;
        device->messageHook = [this] {
            if (answerBig.exchange(false)) {
                device->QueryDetected();
                device->QueueResponse(big.get(), true);
            }
        };
    }

    // The host's session ends: by a bus reset, or by leaving the configuration and taking it
    // again.
    void EndSession(bool reset)
    {
        if (reset) {
            ASSERT_EQ(usb.reset_device(), Result::Ok);
            return;
        }
        Bytes none;
        for (std::uint16_t value : {0, 1}) {
            ASSERT_EQ(usb.control(sim::UsbHost::Setup{0x00, 9, value, 0, 0}, &none), Result::Ok);
        }
    }

    // A new session's first read gets nothing of the old one; the request it leaves open is
    // ended by a reset, so the next session starts afresh.
    void ReadsNothingThenResets()
    {
        ASSERT_EQ(host.RequestIn(4096), Result::Ok);
        usb.set_timeout_ms(300);
        const UsbtmcHost::InTransfer in = host.ReadIn();
        usb.set_timeout_ms(kTimeoutMs);
        EXPECT_EQ(in.result, Result::Timeout) << in.data;
        ASSERT_EQ(usb.reset_device(), Result::Ok);
    }

    // CHECK_ABORT_BULK_IN_STATUS until it is no longer PENDING (the device learns that the
    // host took the last packet a little after the host did).
    Bytes CheckAbortBulkInDone()
    {
        Bytes reply;
        Eventually([&] {
            reply = host.CheckAbortBulkIn();
            return reply.empty() || reply[0] != 0x02;
        });
        return reply;
    }

    // A malformed request that must stall. One the device left unanswered past a short
    // deadline is sent again (it changes nothing, so a repeat is harmless).
    Result Refused(std::uint8_t bmRequestType, std::uint8_t bRequest, std::uint16_t wValue,
                   std::uint16_t wIndex, std::uint16_t wLength)
    {
        usb.set_timeout_ms(2000);
        Bytes reply;
        Result result = Result::Timeout;
        for (int attempt = 0; attempt < 3 && result == Result::Timeout; ++attempt) {
            result = host.ClassIn(bmRequestType, bRequest, wValue, wIndex, wLength, &reply);
        }
        usb.set_timeout_ms(kTimeoutMs);
        return result;
    }

    // Sends the header and 116 bytes of a 1000-byte message in two full packets (a host
    // still in the middle of its transfer: a short packet would end it); returns once the
    // device has taken the header (a wrong-tag INITIATE_ABORT_BULK_OUT changes nothing and
    // answers TRANSFER_NOT_IN_PROGRESS only while the message is active).
    static constexpr std::uint32_t kPartialBytes = 116;
    void SendPartialMessage()
    {
        Bytes bytes = UsbtmcHost::Header(1, host.NextTag(), 1000, 1);
        bytes.insert(bytes.end(), kPartialBytes, 'p');
        ASSERT_EQ(host.Send(bytes), Result::Ok);
        const std::uint8_t tag = host.LastTag();
        ASSERT_TRUE(Eventually([&] {
            return host.InitiateAbortBulkOut(static_cast<std::uint8_t>(tag + 1)) == Bytes{0x81, tag};
        }));
    }

    std::unique_ptr<Korvex::TestDevice> device;
    std::unique_ptr<Korvex::CZoDeviceBuffer> big;
    std::atomic<bool> answerBig{false};
    sim::UsbHost usb;
    UsbtmcHost host{usb};
};

// "text?" is answered "text?=OK".
inline std::string Answer(const std::string& query)
{
    return query + "=OK";
}

} // namespace usbtmctest
