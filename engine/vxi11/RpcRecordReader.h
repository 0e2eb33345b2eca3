// Reads the bytes of ONC RPC records from a stream socket. With a read-ahead buffer, one
// receive takes whatever has arrived (a record mark with its body, or several records) and
// later takes are served from the buffer; without one, every take receives exactly the bytes
// asked for. The record bounds are the caller's: the reader only moves bytes.
#pragma once

#include <cstdint>

#include "engine/os/OSSocket.h"

class CRpcRecordReader {
public:
    // buffer: capacity bytes owned by the caller, kept for the socket's life (null or 0:
    // no read-ahead).
    explicit CRpcRecordReader(COSSocket& socket, std::uint8_t* buffer = nullptr, std::uint32_t capacity = 0)
        : m_socket(socket) {
        SetBuffer(buffer, capacity);
    }
    CRpcRecordReader(const CRpcRecordReader&) = delete;
    CRpcRecordReader& operator=(const CRpcRecordReader&) = delete;

    // Gives the reader its read-ahead buffer (before the first take).
    void SetBuffer(std::uint8_t* buffer, std::uint32_t capacity) {
        m_buffer = buffer;
        m_capacity = buffer != nullptr ? capacity : 0;
    }
    COSSocket& Socket() { return m_socket; }

    // Takes exactly length bytes into data (null: drops them), each wait for the socket ending
    // at deadline (RpcNowMs; -1: none). Status 0; 6 when the deadline passed; the socket's
    // failure status (7) when the peer closed or a receive failed.
    void Take(std::uint8_t* data, std::uint32_t length, std::int64_t deadline, std::uint32_t* status);

    // Bytes received but not taken yet.
    std::uint32_t Buffered() const { return m_end - m_start; }

private:
    // One receive of at most length bytes into to, after waiting for the deadline.
    std::uint32_t ReceiveOnce(std::uint8_t* to, std::uint32_t length, std::int64_t deadline,
                              std::uint32_t* status);

    COSSocket& m_socket;
    std::uint8_t* m_buffer = nullptr;
    std::uint32_t m_capacity = 0;
    std::uint32_t m_start = 0;
    std::uint32_t m_end = 0;
};
