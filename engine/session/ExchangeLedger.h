// What one interface's message exchange owes whom, and who may end whose operation. One
// ledger per physical interface; every field below is read and changed under its one mutex,
// through the named transitions, never elsewhere.
//
// Who may end whose operation, and when:
// - The message in the exchange belongs to the link that wrote it (its owner). Its reply is
//   owed to that link, and to nobody once the link has gone (Depart): from then on the
//   session drops that message's query announcement, its response and the report of its
//   interruption, so nothing of it reaches another link and no error is queued for it.
// - A departed link's message that is partial, read for, or being answered is ended by a
//   device clear (EndOwed); one that has not begun is left to run, owed to nobody. The clear
//   is made by whichever procedure has the turn first: the one running now, when it waits
//   for a buffer, or else the departed link's drop (a drop that cannot get the turn leaves it
//   to the next procedure that waits). Nobody else's operation is aborted.
// - A device_trigger waiting for its turn hands its trigger to the running procedure (Hand).
//   A write that waits for the device to take it delivers it; so does a read whose message
//   has not begun while another interface's FETC? waits for bus triggers. A read of a
//   message the instrument is running or answering never does: the GET would interrupt it.
// - While another interface's FETC? waits for bus triggers (SetFetchElsewhere, until that
//   message is over; when a clear cut it with its measurement still armed, until the parser's
//   next message is over), this interface's message that has not begun is caught behind it
//   (CatchBehindFetch), until that message is answered or another comes, or that FETC? ends
//   with no measurement left armed. A trigger sent while this interface's message is caught
//   so counts at once, out of turn (OweBusTrigger): for that FETC?, or, when a clear ended it
//   first, for the measurement that stays armed; it never interrupts the message it was sent
//   behind. Every other trigger keeps its place behind its interface's message.
//
// Lock order: the ledger's mutex is the last taken, except that EndTaken's callback takes the
// operation queue's; the queue never calls the ledger. The observer runs without the mutex.
#pragma once

#include <cstdint>
#include <functional>
#include <mutex>
#include <utility>
#include <vector>

namespace Korvex {

class CExchangeLedger {
public:
    // What the procedure that ends a departed link's message must do (EndOwed).
    enum class Ending : std::uint8_t {
        kNothing,  // the message is gone, or it has not begun: it runs on, owed to nobody
        kClear,    // partial, read for, or being answered: the device is cleared
    };

    CExchangeLedger() = default;
    CExchangeLedger(const CExchangeLedger&) = delete;
    CExchangeLedger& operator=(const CExchangeLedger&) = delete;

    // ---- the message in the exchange ----
    // A chunk of lid's message was taken; end: it ends the message.
    void Written(std::uint32_t lid, bool end);
    // lid reads; for its reply when it owns the message.
    void ReadFor(std::uint32_t lid);
    // lid's read ended with END: a whole message of lid's answered.
    void Answered(std::uint32_t lid);
    // A device clear ended whatever was in the exchange.
    void Cleared();
    // Whether the message in the exchange still lacks its END and is not lid's.
    bool PartialOfOther(std::uint32_t lid) const;
    // Whether the reply of the message in the exchange is owed to nobody (session side).
    bool ReplyOwedToNobody() const;

    // ---- a departed link ----
    // lid has gone (its client gone, or destroy_link; its drop says so again): its message is
    // owed to nobody from now on, and the next procedure of another link with the turn ends
    // it (TakeEnd). false when nothing of lid's is in the exchange.
    bool Depart(std::uint32_t lid);
    // A procedure of lid with the turn takes the end of a departed link's message on: that
    // link (not lid), or 0 when none is to be ended.
    std::uint32_t TakeEnd(std::uint32_t lid);
    // What ending departed's message takes. answering: the device has announced its query,
    // holds its response or is sending it. Ending kNothing also settles it (owed to nobody).
    Ending EndOwed(std::uint32_t departed, bool answering);
    // The drop of lid has the turn: true when the end is still its own to make.
    bool DropTakesEnd(std::uint32_t lid);
    // Whether lid's message is still in the exchange (for the drop's log line).
    bool Owns(std::uint32_t lid) const;

    // ---- GETs handed to the running procedure ----
    void Hand(std::uint32_t lid);
    // One operation waiting behind the running procedure, in queue order.
    struct Waiting {
        std::uint32_t lid;
        bool drop;  // a departed link's drop
    };
    // The running procedure takes the first handed GET it may deliver now: a GET overtakes
    // no operation queued before it but drops and GETs already delivered. Its lid, or 0.
    std::uint32_t TakeHanded(const std::vector<Waiting>& waiting);
    // Whether the running procedure of lid has something to look at before it waits: the
    // end of a departed link's message, or (getsDeliverable) a GET it may take now.
    bool HasFor(std::uint32_t lid, bool getsDeliverable, const std::vector<Waiting>& waiting);
    // lid's device_trigger has the turn: false when its GET was taken and delivered.
    bool TakeBack(std::uint32_t lid);
    // Handed and not delivered yet (for checks).
    bool Handed(std::uint32_t lid) const;
    // When lid's GET was taken for delivery: calls end (which ends that device_trigger's wait
    // for its turn) before lid's operation can end, and returns true.
    bool EndTaken(std::uint32_t lid, const std::function<void()>& end);

    // ---- a FETC? of another interface waiting for bus triggers ----
    // Set when it begins to wait; cleared when its message is over (stillArmed: a measurement
    // still waits for bus triggers, as after a clear). The observer is told when it is set, so
    // that a waiting procedure looks again.
    void SetFetchElsewhere(bool waiting, bool stillArmed = false);
    bool FetchElsewhere() const;
    // This interface's message that has not begun waits behind that FETC?; it stays caught
    // until it is answered or another message comes (MessageMovedOn, Cleared), or that FETC?
    // ends with no measurement armed (SetFetchElsewhere(false, false)). Turning it on tells
    // the observer.
    void CatchBehindFetch();
    bool CaughtBehindFetch() const;
    void MessageMovedOn();
    // A trigger was counted for that FETC? at its arrival: the device sends it.
    void OweBusTrigger();
    // The device takes one trigger owed for that FETC?; false when none is owed.
    bool TakeOwedBusTrigger();
    // A new session: nothing is owed.
    void ForgetOwedBusTriggers();
    void SetFetchElsewhereObserver(std::function<void()> observer);

private:
    enum class Handing : std::uint8_t { kHanded, kTaken };
    struct HandedGet {
        std::uint32_t lid;
        Handing state;
    };

    // The first handed GET that may overtake what waits before it (mutex held).
    HandedGet* FirstDeliverable(const std::vector<Waiting>& waiting);

    mutable std::mutex m_mutex;
    // The message in the exchange: its owner (0: none), whether it lacks its END, whether its
    // owner has read for its reply, and whether that owner has gone (reply owed to nobody).
    std::uint32_t m_owner = 0;
    bool m_partial = false;
    bool m_ownerRead = false;
    bool m_departed = false;
    // The departed link whose message the next procedure with the turn ends (0: none).
    std::uint32_t m_endOwedBy = 0;
    std::vector<HandedGet> m_handed;
    bool m_fetchElsewhere = false;
    bool m_caughtBehindFetch = false;
    std::uint32_t m_owedBusTriggers = 0;
    std::function<void()> m_fetchElsewhereObserver;
};

} // namespace Korvex
