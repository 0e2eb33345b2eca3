#include "Host/scpi/support/TestHost.h"

#include <chrono>

#include "Host/scpi/parser/KorvexHostParser.h"

namespace Korvex::test {

CTestHost::CTestHost(CKorvexHostParser* parser) : CKorvexHost(&device, parser), parser(parser) {}

CTestHost::~CTestHost()
{
    // Before this class's parts die: the parser must not call into them any more.
    ReleaseAtParser();
}

bool CTestHost::WaitInputDone(int count, int timeoutMs)
{
    std::unique_lock<std::mutex> lock(recordMutex);
    return inputDoneSignal.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                                    [&] { return inputDone >= count; });
}

bool CTestHost::Post(const std::string& text, int timeoutMs)
{
    const int target = InputDoneCount() + 1;
    parser->PostMessage(text, this);
    return WaitInputDone(target, timeoutMs);
}

std::string CTestHost::Exchange(const std::string& text, int timeoutMs)
{
    std::size_t before = 0;
    {
        std::lock_guard<std::mutex> lock(recordMutex);
        before = responses.size();
    }
    if (!Post(text, timeoutMs)) return "<time-out>";
    std::lock_guard<std::mutex> lock(recordMutex);
    return responses.size() > before ? responses.back() : std::string();
}

std::string CTestHost::NextError()
{
    const std::uint32_t row = CKorvexScpiStatus::PopError(StatusBlock());
    std::int16_t code = 0;
    std::string text;
    CKorvexScpiStatus::GetErrorText(row, code, text);
    return std::to_string(code) + "," + text;
}

int CTestHost::InputDoneCount()
{
    std::lock_guard<std::mutex> lock(recordMutex);
    return inputDone;
}

int CTestHost::QueryAnnouncements()
{
    std::lock_guard<std::mutex> lock(recordMutex);
    return announcements;
}

std::vector<std::string> CTestHost::Responses()
{
    std::lock_guard<std::mutex> lock(recordMutex);
    return responses;
}

std::uint32_t CTestHost::EngineQueryDetected()
{
    if (failQueryDetected.load()) return 1;
    std::lock_guard<std::mutex> lock(recordMutex);
    ++announcements;
    return 0;
}

const void* CTestHost::EngineQueueResponse(std::string& text)
{
    if (failQueueResponse.load()) return nullptr;
    std::lock_guard<std::mutex> lock(recordMutex);
    responses.push_back(text);
    return text.c_str();
}

std::uint32_t CTestHost::EngineInputProcessed()
{
    {
        std::lock_guard<std::mutex> lock(recordMutex);
        ++inputDone;
    }
    inputDoneSignal.notify_all();
    return failInputProcessed.load() ? 1 : 0;
}

}  // namespace Korvex::test
