#include "Host/acquisition/CRegistrableObject.h"

#include <map>
#include <mutex>

#include "Host/acquisition/CKorvexDSP.h"
#include "Host/parameters/Logger.h"
#include "platform/devio/DevIo.h"

namespace Korvex {

namespace {

// The semaphores given out as tokens. Built on first use and never destroyed, so a
// semaphore destroyed at exit can still leave it.
struct CompletionTable {
    std::mutex mutex;
    std::map<std::uint32_t, kernel::Semaphore*> semaphores;
    std::uint32_t next = 1;
};

CompletionTable& Completions()
{
    static CompletionTable* table = new CompletionTable;
    return *table;
}

template <std::uint32_t N>
bool WriteWords(std::int32_t fd, const std::array<std::uint32_t, N>& words)
{
    std::uint8_t bytes[N * 4];
    for (std::uint32_t i = 0; i < N; ++i) {
        for (std::uint32_t b = 0; b < 4; ++b) {
            bytes[i * 4 + b] = static_cast<std::uint8_t>(words[i] >> (8 * b));
        }
    }
    return devio::devio_write(fd, bytes, sizeof bytes) == static_cast<int>(sizeof bytes);
}

template <std::uint32_t N>
bool ReadWords(std::int32_t fd, std::array<std::uint32_t, N>& words)
{
    std::uint8_t bytes[N * 4];
    if (devio::devio_read(fd, bytes, sizeof bytes) != static_cast<int>(sizeof bytes)) {
        return false;
    }
    for (std::uint32_t i = 0; i < N; ++i) {
        words[i] = 0;
        for (std::uint32_t b = 0; b < 4; ++b) {
            words[i] |= static_cast<std::uint32_t>(bytes[i * 4 + b]) << (8 * b);
        }
    }
    return true;
}

bool Readable(std::int32_t fd)
{
    if (fd < 0) return false;
    devio::FdSet set;
    devio::devio_fd_zero(&set);
    devio::devio_fd_set(fd, &set);
    return devio::devio_select(fd + 1, &set, nullptr, 0) == 1;
}

}  // namespace

// ---- CCompletionSemaphore --------------------------------------------------------------

CCompletionSemaphore::CCompletionSemaphore()
{
    kernel::semaphore_init(&semaphore, 0);
    CompletionTable& table = Completions();
    std::lock_guard<std::mutex> lock(table.mutex);
    while (table.next == 0 || table.semaphores.count(table.next) != 0) ++table.next;
    token = table.next++;
    table.semaphores[token] = &semaphore;
}

CCompletionSemaphore::~CCompletionSemaphore()
{
    {
        CompletionTable& table = Completions();
        std::lock_guard<std::mutex> lock(table.mutex);
        table.semaphores.erase(token);
    }
    kernel::semaphore_destroy(&semaphore);
}

void CCompletionSemaphore::Reset()
{
    while (kernel::semaphore_trywait(&semaphore)) {
    }
}

bool CCompletionSemaphore::Wait()
{
    return kernel::semaphore_wait(&semaphore);
}

kernel::Semaphore* CCompletionSemaphore::Find(std::uint32_t token)
{
    if (token == 0) return nullptr;
    CompletionTable& table = Completions();
    std::lock_guard<std::mutex> lock(table.mutex);
    const auto found = table.semaphores.find(token);
    return found == table.semaphores.end() ? nullptr : found->second;
}

void CCompletionSemaphore::Post(std::uint32_t token)
{
    if (token == 0) return;
    CompletionTable& table = Completions();
    // Posted under the table's mutex, so the semaphore cannot be destroyed meanwhile.
    std::lock_guard<std::mutex> lock(table.mutex);
    const auto found = table.semaphores.find(token);
    if (found != table.semaphores.end()) kernel::semaphore_post(found->second);
}

// ---- messages ------------------------------------------------------------------------

std::array<std::uint32_t, PipeMsg::Words> PipeMsg::ToWords() const
{
    return {command, completion, reserved[0], reserved[1]};
}

PipeMsg PipeMsg::FromWords(const std::array<std::uint32_t, Words>& words)
{
    PipeMsg message;
    message.command = words[0];
    message.completion = words[1];
    message.reserved[0] = words[2];
    message.reserved[1] = words[3];
    return message;
}

std::array<std::uint32_t, AbortMsg::Words> AbortMsg::ToWords() const
{
    return {reason, completion};
}

AbortMsg AbortMsg::FromWords(const std::array<std::uint32_t, Words>& words)
{
    AbortMsg message;
    message.reason = words[0];
    message.completion = words[1];
    return message;
}

// ---- descriptor holders ----------------------------------------------------------------

CRegistrableObject::CRegistrableObject(const char* path)
    : fd(devio::devio_open(path, devio::OPEN_READ_WRITE)), valid(fd != -1 ? 1 : 0)
{
}

CRegistrableObject::~CRegistrableObject()
{
    devio::devio_close(fd);
}

template <typename Msg>
bool CMailBox<Msg>::Write(const Msg& message)
{
    return WriteWords<Msg::Words>(fd, message.ToWords());
}

template <typename Msg>
bool CMailBox<Msg>::Read(Msg& message)
{
    std::array<std::uint32_t, Msg::Words> words{};
    if (!ReadWords<Msg::Words>(fd, words)) return false;
    message = Msg::FromWords(words);
    return true;
}

template <typename Msg>
std::vector<Msg> CMailBox<Msg>::Drain()
{
    std::vector<Msg> taken;
    Msg message;
    while (Readable(fd) && Read(message)) {
        CCompletionSemaphore::Post(message.completion);
        taken.push_back(message);
    }
    return taken;
}

template class CMailBox<PipeMsg>;
template class CMailBox<AbortMsg>;

CDspIntr::CDspIntr() : CRegistrableObject(CKorvexDSP::GetInterruptDeviceName()) {}

bool TakePipeMsg(CMailBox<PipeMsg>& mailbox, PipeMsg& message)
{
    if (!mailbox.Read(message)) return false;
    CCompletionSemaphore::Post(message.completion);
    return true;
}

bool DropStrayBusTrigger(const PipeMsg& message)
{
    if (message.command != PipeMsg::BusTrigger) return false;
    Logger().Printf("CKorvexHostAcquisition::TriggerFlow, Bus trigger dropped while idle\n");
    return true;
}

}  // namespace Korvex
