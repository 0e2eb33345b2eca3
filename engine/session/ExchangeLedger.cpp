#include "engine/session/ExchangeLedger.h"

#include <algorithm>
#include <utility>

namespace Korvex {

using Lock = std::lock_guard<std::mutex>;

// ---- the message in the exchange ----

void CExchangeLedger::Written(std::uint32_t lid, bool end)
{
    Lock lock(m_mutex);
    if (!m_partial || m_owner != lid) {
        // A new message: nothing of it has been read for, and its writer is here.
        m_ownerRead = false;
        m_departed = false;
    }
    m_owner = lid;
    m_partial = !end;
}

void CExchangeLedger::ReadFor(std::uint32_t lid)
{
    Lock lock(m_mutex);
    if (m_owner == lid && lid != 0) {
        m_ownerRead = true;
    }
}

void CExchangeLedger::Answered(std::uint32_t lid)
{
    Lock lock(m_mutex);
    if (m_owner == lid && !m_partial) {
        m_owner = 0;
        m_ownerRead = false;
        m_departed = false;
    }
}

void CExchangeLedger::Cleared()
{
    Lock lock(m_mutex);
    m_owner = 0;
    m_partial = false;
    m_ownerRead = false;
    m_departed = false;
    m_endOwedBy = 0;
    m_caughtBehindFetch = false;
}

bool CExchangeLedger::PartialOfOther(std::uint32_t lid) const
{
    Lock lock(m_mutex);
    return m_partial && m_owner != lid;
}

bool CExchangeLedger::ReplyOwedToNobody() const
{
    Lock lock(m_mutex);
    return m_owner != 0 && m_departed;
}

// ---- a departed link ----

bool CExchangeLedger::Depart(std::uint32_t lid)
{
    Lock lock(m_mutex);
    if (lid == 0 || m_owner != lid) {
        return false;
    }
    m_departed = true;
    // One message is in the exchange at a time: at most one departed link is owed an end.
    m_endOwedBy = lid;
    return true;
}

std::uint32_t CExchangeLedger::TakeEnd(std::uint32_t lid)
{
    Lock lock(m_mutex);
    if (m_endOwedBy == 0 || m_endOwedBy == lid) {
        return 0;
    }
    const std::uint32_t departed = m_endOwedBy;
    m_endOwedBy = 0;
    return departed;
}

CExchangeLedger::Ending CExchangeLedger::EndOwed(std::uint32_t departed, bool answering)
{
    Lock lock(m_mutex);
    if (departed == 0 || m_owner != departed) {
        return Ending::kNothing;  // another message since: nothing of the departed link's is left
    }
    return m_partial || m_ownerRead || answering ? Ending::kClear : Ending::kNothing;
}

bool CExchangeLedger::DropTakesEnd(std::uint32_t lid)
{
    Lock lock(m_mutex);
    if (m_endOwedBy != lid) {
        return false;  // another procedure took it on
    }
    m_endOwedBy = 0;
    return true;
}

bool CExchangeLedger::Owns(std::uint32_t lid) const
{
    Lock lock(m_mutex);
    return lid != 0 && m_owner == lid;
}

// ---- GETs handed to the running procedure ----

void CExchangeLedger::Hand(std::uint32_t lid)
{
    Lock lock(m_mutex);
    auto found = std::find_if(m_handed.begin(), m_handed.end(),
                              [lid](const HandedGet& get) { return get.lid == lid; });
    if (found != m_handed.end()) {
        found->state = Handing::kHanded;
    } else {
        m_handed.push_back(HandedGet{lid, Handing::kHanded});
    }
}

std::uint32_t CExchangeLedger::TakeHanded(const std::vector<Waiting>& waiting)
{
    Lock lock(m_mutex);
    HandedGet* get = FirstDeliverable(waiting);
    if (get == nullptr) {
        return 0;
    }
    get->state = Handing::kTaken;
    return get->lid;
}

bool CExchangeLedger::HasFor(std::uint32_t lid, bool getsDeliverable,
                             const std::vector<Waiting>& waiting)
{
    Lock lock(m_mutex);
    return (m_endOwedBy != 0 && m_endOwedBy != lid) ||
           (getsDeliverable && FirstDeliverable(waiting) != nullptr);
}

CExchangeLedger::HandedGet* CExchangeLedger::FirstDeliverable(const std::vector<Waiting>& waiting)
{
    for (const Waiting& operation : waiting) {
        if (operation.drop) {
            continue;  // a drop ends what the running procedure left
        }
        auto get = std::find_if(m_handed.begin(), m_handed.end(),
                                [&](const HandedGet& h) { return h.lid == operation.lid; });
        if (get == m_handed.end()) {
            return nullptr;  // a GET overtakes no operation queued before it
        }
        if (get->state == Handing::kHanded) {
            return &*get;
        }
    }
    return nullptr;
}

bool CExchangeLedger::TakeBack(std::uint32_t lid)
{
    Lock lock(m_mutex);
    auto get = std::find_if(m_handed.begin(), m_handed.end(),
                            [lid](const HandedGet& h) { return h.lid == lid; });
    if (get == m_handed.end()) {
        return true;
    }
    const bool taken = get->state == Handing::kTaken;
    m_handed.erase(get);
    return !taken;
}

bool CExchangeLedger::Handed(std::uint32_t lid) const
{
    Lock lock(m_mutex);
    return std::any_of(m_handed.begin(), m_handed.end(), [lid](const HandedGet& h) {
        return h.lid == lid && h.state == Handing::kHanded;
    });
}

bool CExchangeLedger::EndTaken(std::uint32_t lid, const std::function<void()>& end)
{
    Lock lock(m_mutex);
    const bool taken = std::any_of(m_handed.begin(), m_handed.end(), [lid](const HandedGet& h) {
        return h.lid == lid && h.state == Handing::kTaken;
    });
    if (taken) {
        end();
    }
    return taken;
}

// ---- a FETC? of another interface waiting for bus triggers ----

void CExchangeLedger::SetFetchElsewhere(bool waiting, bool stillArmed)
{
    std::function<void()> observer;
    {
        Lock lock(m_mutex);
        if (!waiting && !stillArmed) {
            m_caughtBehindFetch = false;  // answered: nothing left for a trigger to count for
        }
        if (m_fetchElsewhere == waiting) {
            return;
        }
        m_fetchElsewhere = waiting;
        if (waiting) {
            observer = m_fetchElsewhereObserver;
        }
    }
    if (observer) {
        observer();
    }
}

bool CExchangeLedger::FetchElsewhere() const
{
    Lock lock(m_mutex);
    return m_fetchElsewhere;
}

void CExchangeLedger::CatchBehindFetch()
{
    std::function<void()> observer;
    {
        Lock lock(m_mutex);
        if (m_caughtBehindFetch) {
            return;
        }
        m_caughtBehindFetch = true;
        observer = m_fetchElsewhereObserver;
    }
    if (observer) {
        observer();
    }
}

bool CExchangeLedger::CaughtBehindFetch() const
{
    Lock lock(m_mutex);
    return m_caughtBehindFetch;
}

void CExchangeLedger::MessageMovedOn()
{
    Lock lock(m_mutex);
    m_caughtBehindFetch = false;
}

void CExchangeLedger::OweBusTrigger()
{
    Lock lock(m_mutex);
    ++m_owedBusTriggers;
}

void CExchangeLedger::ForgetOwedBusTriggers()
{
    Lock lock(m_mutex);
    m_owedBusTriggers = 0;
}

bool CExchangeLedger::TakeOwedBusTrigger()
{
    Lock lock(m_mutex);
    if (m_owedBusTriggers == 0) {
        return false;
    }
    --m_owedBusTriggers;
    return true;
}

void CExchangeLedger::SetFetchElsewhereObserver(std::function<void()> observer)
{
    Lock lock(m_mutex);
    m_fetchElsewhereObserver = std::move(observer);
}

} // namespace Korvex
