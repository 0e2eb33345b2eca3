// The abort channel of one VXI-11 connection: a TCP server on a port of the system's choosing
// (the abortPort of create_link) that serves one controller connection with device_abort
// (program 0x0607B0, version 1, procedure 1) on a thread of its own (priority 8, ahead of the
// blocked core-channel thread).
//
// Destruction interrupts both sockets (waking a blocked accept or receive), waits for the
// thread and only then closes them.
#pragma once

#include <atomic>
#include <cstdint>

#include "engine/os/OSMutex.h"
#include "engine/os/OSSocket.h"
#include "engine/os/OSThread.h"

class CVxi11Client;

class CVxi11AbortChannel : public COSThread {
public:
    static constexpr std::uint32_t kProgram = 0x0607B0;
    static constexpr std::uint32_t kVersion = 1;
    static constexpr std::uint32_t kProcedureAbort = 1;
    static constexpr std::uint32_t kPriority = 8;
    static constexpr std::uint32_t kMaxRecord = 4156;
    static constexpr std::uint32_t kSendBoundMs = 5000;

    // Listens on bindAddress (host order), port 0, and starts the thread; InitFailed() stays 1
    // when either failed. owner: the connection whose links the aborts name.
    CVxi11AbortChannel(CVxi11Client* owner, std::uint32_t bindAddress);
    ~CVxi11AbortChannel() override;

    std::uint8_t InitFailed() const { return m_initFailed; }
    // The listening port (the abortPort of create_link).
    std::uint16_t Port() const { return m_listener.LocalPort(); }

protected:
    void Run() override;

private:
    // The device_abort requests of the one connection, until a read fails.
    void Serve();

    CVxi11Client* m_owner;
    std::uint8_t m_initFailed = 1;
    COSSocket m_listener;
    COSMutex m_mutex;           // m_connection is adopted and interrupted under it
    std::atomic<bool> m_stopping{false};
    COSSocket m_connection;
    std::uint8_t m_request[kMaxRecord] = {};
};
