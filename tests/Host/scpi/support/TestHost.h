// A host session for the parser tests: records the parser's calls into the host, can be
// told to fail each of them, and lets a test wait for the end of its messages.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "Host/scpi/host/KorvexHost.h"
#include "Host/scpi/status/ServiceRequester.h"

namespace Korvex::test {

// The engine device of a test session: counts service requests.
class CTestDevice : public IServiceRequester {
public:
    std::uint32_t RequestService() override
    {
        requests.fetch_add(1);
        return 0;
    }
    std::atomic<int> requests{0};
};

struct TestDeviceHolder {
    CTestDevice device;
};

class CTestHost : private TestDeviceHolder, public CKorvexHost {
public:
    explicit CTestHost(CKorvexHostParser* parser);
    ~CTestHost() override;

    // Posts text and waits until the parser has handed the input back (false on time-out).
    bool Post(const std::string& text, int timeoutMs = 30000);
    // Posts text, waits for its end and returns the response it produced ("" for none).
    std::string Exchange(const std::string& text, int timeoutMs = 30000);
    // Waits until InputDone has been called count times in all.
    bool WaitInputDone(int count, int timeoutMs);
    // The oldest queued error of this session as "<code>,<text>" ("0,No error" when empty).
    std::string NextError();

    // Engine-side callbacks a test may fire from any thread.
    void FireResponseDone() { ResponseDone(); }
    void FireDeviceClear() { DeviceClear(); }

    int InputDoneCount();
    int QueryAnnouncements();
    std::vector<std::string> Responses();
    int ServiceRequests() const { return device.requests.load(); }

    // Failure injection.
    std::atomic<bool> failQueryDetected{false};
    std::atomic<bool> failQueueResponse{false};
    std::atomic<bool> failInputProcessed{false};

protected:
    std::uint32_t EngineQueryDetected() override;
    const void* EngineQueueResponse(std::string& text) override;
    std::uint32_t EngineInputProcessed() override;

private:
    CKorvexHostParser* parser;
    std::mutex recordMutex;
    std::condition_variable inputDoneSignal;
    int inputDone = 0;
    int announcements = 0;
    std::vector<std::string> responses;
};

}  // namespace Korvex::test
