// NetBIOS name-service packets (UDP 137, RFC 1001/1002): header fields, encoded names, the
// requests the service sends and the answers it builds, and their bounded readers. Every
// reader takes the received length and reads nothing past it. Multi-byte fields are
// big-endian.
#pragma once

#include <cstddef>
#include <cstdint>

namespace Korvex::nbns {

constexpr std::size_t HeaderSize = 12;
constexpr std::size_t EncodedNameSize = 34;  // length byte, 32 characters, zero byte
constexpr std::size_t DecodedNameSize = 31;  // at most 30 decoded bytes and a NUL
constexpr std::uint16_t TypeNb = 0x0020;
constexpr std::uint16_t TypeNbStat = 0x0021;
constexpr std::uint16_t ClassIn = 0x0001;
constexpr std::uint32_t RegistrationTtl = 300000;

enum Opcode : int { OpQuery = 0, OpRegistration = 5, OpRelease = 6, OpRefresh8 = 8, OpRefresh9 = 9 };

inline std::uint16_t get16(const std::uint8_t* p) { return static_cast<std::uint16_t>(p[0] << 8 | p[1]); }
inline std::uint32_t get32(const std::uint8_t* p)
{
    return static_cast<std::uint32_t>(p[0]) << 24 | static_cast<std::uint32_t>(p[1]) << 16 |
           static_cast<std::uint32_t>(p[2]) << 8 | p[3];
}
inline void put16(std::uint8_t* p, std::uint32_t v)
{
    p[0] = static_cast<std::uint8_t>(v >> 8);
    p[1] = static_cast<std::uint8_t>(v);
}
inline void put32(std::uint8_t* p, std::uint32_t v)
{
    put16(p, v >> 16);
    put16(p + 2, v);
}

// Header fields of a packet of at least HeaderSize bytes.
inline bool is_response(const std::uint8_t* p) { return (p[2] & 0x80) != 0; }
inline int opcode_of(const std::uint8_t* p) { return (p[2] >> 3) & 0x0F; }
inline int rcode_of(const std::uint8_t* p) { return p[3] & 0x0F; }
inline bool is_broadcast(const std::uint8_t* p) { return (p[3] & 0x10) != 0; }
// AA 0x40, TC 0x20, RD 0x10, RA 0x08, B 0x01.
inline int nm_flags_of(const std::uint8_t* p) { return (p[2] & 0x07) << 4 | p[3] >> 4; }

// The upper-case map of names: ASCII letters only.
std::uint8_t upper_byte(std::uint8_t c);

// Encodes name<type> (no scope) into out (EncodedNameSize bytes); returns its length.
std::size_t name_mangle(const char* name, std::uint8_t* out, int type);

// Length of the name at offset: 2 for a compression pointer, else the labels with their
// length bytes and the zero byte. -1 when it is not a sound name: it must end inside the
// packet within 255 bytes, its first label be 2..60 bytes and later ones 1..63; a pointer
// must aim inside the packet within 50 bytes of itself, at a sound name that is no pointer.
int name_len(const std::uint8_t* packet, std::size_t length, std::size_t offset);

// Decodes the first label of the name at offset (following a pointer) into out (at most 30
// bytes and a NUL); returns the last decoded byte (the type), -1 when the name is not sound
// or has a character outside "A".."P" (out then holds what was decoded).
int name_extract(const std::uint8_t* packet, std::size_t length, std::size_t offset,
                 char out[DecodedNameSize]);

// Measured length of the packet: header, questions, records. 0 when qdcount is above 100 or
// any part does not fit in length.
std::size_t nmb_len(const std::uint8_t* packet, std::size_t length);

// The question of a request: its name at offset 12, given in full (a pointer drops it).
struct Question {
    std::size_t nameLength = 0;
    char name[DecodedNameSize] = {};
    int nameType = 0;
    std::uint16_t type = 0;
    std::size_t end = 0;  // offset after type and class
};
bool read_question(const std::uint8_t* packet, std::size_t length, Question& out);

// The first additional record, after the question and any answer and authority records.
struct AdditionalRecord {
    std::uint32_t ttl = 0;
    std::uint8_t nbFlags = 0;  // first byte of NB_FLAGS; 0x80 the group bit
    std::uint32_t address = 0;  // network byte order
};
bool read_additional(const std::uint8_t* packet, std::size_t length, std::size_t questionEnd,
                     AdditionalRecord& out);

// The data of the first answer record of a response without questions; false when it does
// not fit.
bool read_first_answer(const std::uint8_t* packet, std::size_t length, std::size_t& data,
                       std::size_t& dataLength);

// Requests about the own name: registration, refresh, release (68 bytes); address in network
// byte order.
enum class NameRequest { Registration, Refresh, Release };
std::size_t build_name_request(std::uint8_t* out, NameRequest kind, std::uint16_t trnId,
                               const char* name, std::uint32_t address);
// Name query (NB) or node-status request (NBSTAT), 50 bytes.
std::size_t build_name_query(std::uint8_t* out, std::uint16_t trnId, const char* name, int type,
                             bool broadcast);
std::size_t build_status_request(std::uint8_t* out, std::uint16_t trnId, const char* name, int type);

// An answer of one resource record named by the request's question name (copied as
// received): header bytes 2 and 3, record type, ttl and data. 0 when it would pass 1024 bytes.
std::size_t build_answer(std::uint8_t* out, const std::uint8_t* request, const Question& question,
                         std::uint8_t byte2, std::uint8_t byte3, std::uint16_t type,
                         std::uint32_t ttl, const std::uint8_t* data, std::size_t dataLength);

// Sends from fd (through the send hook when one is set); true when sent.
bool send_datagram(int fd, const std::uint8_t* data, std::size_t length, std::uint32_t address,
                   std::uint16_t port);
// Sends from the name-service socket; counts num_good_sends when sent.
bool send_packet(const std::uint8_t* packet, std::size_t length, std::uint32_t address,
                 std::uint16_t port);

// Reads one datagram of up to length bytes and records its sender as the last sender; 0
// when the read gave nothing.
std::size_t read_udp_socket(int fd, std::uint8_t* buffer, std::size_t length);

}  // namespace Korvex::nbns
