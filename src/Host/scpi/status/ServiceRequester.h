// What the status model needs of the instrument-server engine: raising a service request
// for the session that owns a status block.
#pragma once

#include <cstdint>

namespace Korvex {

// Implemented by the engine's 488.2 device object of a session. Host status blocks keep a
// pointer to it; the instrument-wide and global blocks have none.
//
// Contract: RequestService is called with the status lock held (and, when every session
// is walked, the session-list mutex too). Hosts take the status lock inside their own
// mutex, so an implementation must never take a host mutex and must never call a host
// callback synchronously: either would deadlock against a host thread. It only hands the
// request to the engine and returns.
class IServiceRequester {
public:
    // 0 when the engine took the request; non-zero (for example: no open session) leaves
    // the request pending, and the status model tries again at its next evaluation.
    virtual std::uint32_t RequestService() = 0;

protected:
    ~IServiceRequester() = default;
};

}  // namespace Korvex
