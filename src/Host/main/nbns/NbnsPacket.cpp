#include "Host/main/nbns/NbnsPacket.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstring>

#include "Host/main/nbns/NbnsState.h"

namespace Korvex::nbns {

namespace {

constexpr std::size_t MaxNameLength = 255;
constexpr std::size_t PointerReach = 50;

bool is_pointer(std::uint8_t b) { return (b & 0xC0) == 0xC0; }

// Labels from offset: first 2..60 bytes, later 1..63, ending inside the packet within 255
// bytes. Returns the length with the zero byte, or -1.
int label_run(const std::uint8_t* packet, std::size_t length, std::size_t offset)
{
    std::size_t pos = offset;
    bool first = true;
    for (;;) {
        if (pos >= length || pos - offset >= MaxNameLength) return -1;
        const std::uint8_t label = packet[pos];
        if (label == 0) break;
        if (first ? (label < 2 || label > 60) : label > 63) return -1;
        first = false;
        pos += 1u + label;
    }
    if (first) return -1;
    const std::size_t total = pos - offset + 1;
    return total <= MaxNameLength ? static_cast<int>(total) : -1;
}

// Where the labels of the name at offset start (a pointer followed); npos when unsound.
std::size_t name_start(const std::uint8_t* packet, std::size_t length, std::size_t offset)
{
    constexpr std::size_t npos = static_cast<std::size_t>(-1);
    if (offset >= length) return npos;
    if (!is_pointer(packet[offset])) return label_run(packet, length, offset) < 0 ? npos : offset;
    if (offset + 2 > length) return npos;
    const std::size_t target = static_cast<std::size_t>(packet[offset] & 0x3F) << 8 | packet[offset + 1];
    const std::size_t distance = target > offset ? target - offset : offset - target;
    if (target >= length || distance > PointerReach || is_pointer(packet[target])) return npos;
    return label_run(packet, length, target) < 0 ? npos : target;
}

std::uint32_t nb_ttl_of(const std::uint8_t* rr) { return get32(rr + 4); }

}  // namespace

std::uint8_t upper_byte(std::uint8_t c)
{
    return c >= 'a' && c <= 'z' ? static_cast<std::uint8_t>(c - 'a' + 'A') : c;
}

std::size_t name_mangle(const char* name, std::uint8_t* out, int type)
{
    std::uint8_t raw[16];
    if (name[0] == '*') {
        std::memset(raw, 0, sizeof raw);
        raw[0] = '*';
    } else {
        std::memset(raw, ' ', 15);
        for (std::size_t i = 0; i < 15 && name[i] != '\0'; ++i) raw[i] = static_cast<std::uint8_t>(name[i]);
        raw[15] = static_cast<std::uint8_t>(type);
    }
    out[0] = 32;
    for (std::size_t i = 0; i < 16; ++i) {
        const std::uint8_t c = upper_byte(raw[i]);
        out[1 + 2 * i] = static_cast<std::uint8_t>('A' + (c >> 4));
        out[2 + 2 * i] = static_cast<std::uint8_t>('A' + (c & 0x0F));
    }
    out[33] = 0;
    return EncodedNameSize;
}

int name_len(const std::uint8_t* packet, std::size_t length, std::size_t offset)
{
    const std::size_t start = name_start(packet, length, offset);
    if (start == static_cast<std::size_t>(-1)) return -1;
    return start != offset ? 2 : label_run(packet, length, offset);
}

int name_extract(const std::uint8_t* packet, std::size_t length, std::size_t offset,
                 char out[DecodedNameSize])
{
    out[0] = '\0';
    const std::size_t start = name_start(packet, length, offset);
    if (start == static_cast<std::size_t>(-1)) return -1;
    const std::size_t count = packet[start] / 2u;  // at most 30: the first label is 2..60
    int type = -1;
    for (std::size_t i = 0; i < count; ++i) {
        const std::uint8_t hi = packet[start + 1 + 2 * i];
        const std::uint8_t lo = packet[start + 2 + 2 * i];
        if (hi < 'A' || hi > 'P' || lo < 'A' || lo > 'P') {
            out[i] = '\0';
            return -1;
        }
        const std::uint8_t byte = static_cast<std::uint8_t>((hi - 'A') << 4 | (lo - 'A'));
        out[i] = static_cast<char>(byte);
        type = byte;
    }
    out[count] = '\0';
    return type;
}

std::size_t nmb_len(const std::uint8_t* packet, std::size_t length)
{
    if (length < HeaderSize) return 0;
    const std::size_t questions = get16(packet + 4);
    if (questions > 100) return 0;
    const std::size_t records =
        static_cast<std::size_t>(get16(packet + 6)) + get16(packet + 8) + get16(packet + 10);
    std::size_t pos = HeaderSize;
    for (std::size_t i = 0; i < questions; ++i) {
        const int n = name_len(packet, length, pos);
        if (n < 0 || pos + static_cast<std::size_t>(n) + 4 > length) return 0;
        pos += static_cast<std::size_t>(n) + 4;
    }
    for (std::size_t i = 0; i < records; ++i) {
        const int n = name_len(packet, length, pos);
        if (n < 0 || pos + static_cast<std::size_t>(n) + 10 > length) return 0;
        pos += static_cast<std::size_t>(n) + 10;
        pos += get16(packet + pos - 2);
        if (pos > length) return 0;
    }
    return pos;
}

bool read_question(const std::uint8_t* packet, std::size_t length, Question& out)
{
    if (length <= HeaderSize || is_pointer(packet[HeaderSize])) return false;
    const int n = name_len(packet, length, HeaderSize);
    if (n < 0 || HeaderSize + static_cast<std::size_t>(n) + 4 > length) return false;
    out.nameType = name_extract(packet, length, HeaderSize, out.name);
    if (out.nameType < 0) return false;
    out.nameLength = static_cast<std::size_t>(n);
    out.type = get16(packet + HeaderSize + out.nameLength);
    out.end = HeaderSize + out.nameLength + 4;
    return true;
}

bool read_additional(const std::uint8_t* packet, std::size_t length, std::size_t questionEnd,
                     AdditionalRecord& out)
{
    const std::size_t skipped = static_cast<std::size_t>(get16(packet + 6)) + get16(packet + 8);
    std::size_t pos = questionEnd;
    for (std::size_t i = 0; i <= skipped; ++i) {
        const int n = name_len(packet, length, pos);
        if (n < 0 || pos + static_cast<std::size_t>(n) + 10 > length) return false;
        const std::uint8_t* rr = packet + pos + n;
        const std::size_t dataLength = get16(rr + 8);
        pos += static_cast<std::size_t>(n) + 10;
        if (pos + dataLength > length) return false;
        if (i == skipped) {
            if (dataLength < 6) return false;
            out.ttl = nb_ttl_of(rr);
            out.nbFlags = packet[pos];
            std::memcpy(&out.address, packet + pos + 2, 4);
            return true;
        }
        pos += dataLength;
    }
    return false;
}

bool read_first_answer(const std::uint8_t* packet, std::size_t length, std::size_t& data,
                       std::size_t& dataLength)
{
    const int n = name_len(packet, length, HeaderSize);
    if (n < 0 || HeaderSize + static_cast<std::size_t>(n) + 10 > length) return false;
    data = HeaderSize + static_cast<std::size_t>(n) + 10;
    dataLength = get16(packet + data - 2);
    return data + dataLength <= length;
}

namespace {

std::size_t write_header(std::uint8_t* out, std::uint16_t trnId, std::uint8_t byte2,
                         std::uint8_t byte3, int qd, int an, int ar)
{
    put16(out, trnId);
    out[2] = byte2;
    out[3] = byte3;
    put16(out + 4, static_cast<std::uint32_t>(qd));
    put16(out + 6, static_cast<std::uint32_t>(an));
    put16(out + 8, 0);
    put16(out + 10, static_cast<std::uint32_t>(ar));
    return HeaderSize;
}

std::size_t write_question(std::uint8_t* out, std::size_t pos, const char* name, int nameType,
                           std::uint16_t type)
{
    pos += name_mangle(name, out + pos, nameType);
    put16(out + pos, type);
    put16(out + pos + 2, ClassIn);
    return pos + 4;
}

}  // namespace

std::size_t build_name_request(std::uint8_t* out, NameRequest kind, std::uint16_t trnId,
                               const char* name, std::uint32_t address)
{
    const std::uint8_t byte2 = kind == NameRequest::Registration ? 0x29
                               : kind == NameRequest::Refresh    ? 0x48
                                                                 : 0x30;
    std::size_t pos = write_header(out, trnId, byte2, 0x10, 1, 0, 1);
    pos = write_question(out, pos, name, 0x20, TypeNb);
    put16(out + pos, 0xC00C);
    put16(out + pos + 2, TypeNb);
    put16(out + pos + 4, ClassIn);
    put32(out + pos + 6, kind == NameRequest::Release ? 0 : RegistrationTtl);
    put16(out + pos + 10, 6);
    put16(out + pos + 12, 0);
    std::memcpy(out + pos + 14, &address, 4);
    return pos + 18;
}

std::size_t build_name_query(std::uint8_t* out, std::uint16_t trnId, const char* name, int type,
                             bool broadcast)
{
    const std::size_t pos = write_header(out, trnId, 0x01, broadcast ? 0x10 : 0x00, 1, 0, 0);
    return write_question(out, pos, name, type, TypeNb);
}

std::size_t build_status_request(std::uint8_t* out, std::uint16_t trnId, const char* name, int type)
{
    const std::size_t pos = write_header(out, trnId, 0x00, 0x00, 1, 0, 0);
    return write_question(out, pos, name, type, TypeNbStat);
}

std::size_t build_answer(std::uint8_t* out, const std::uint8_t* request, const Question& question,
                         std::uint8_t byte2, std::uint8_t byte3, std::uint16_t type,
                         std::uint32_t ttl, const std::uint8_t* data, std::size_t dataLength)
{
    const std::size_t total = HeaderSize + question.nameLength + 10 + dataLength;
    if (total > MaxDatagram) return 0;
    std::size_t pos = write_header(out, get16(request), byte2, byte3, 0, 1, 0);
    std::memcpy(out + pos, request + HeaderSize, question.nameLength);
    pos += question.nameLength;
    put16(out + pos, type);
    put16(out + pos + 2, ClassIn);
    put32(out + pos + 4, ttl);
    put16(out + pos + 8, static_cast<std::uint32_t>(dataLength));
    std::memcpy(out + pos + 10, data, dataLength);
    return total;
}

bool send_datagram(int fd, const std::uint8_t* data, std::size_t length, std::uint32_t address,
                   std::uint16_t port)
{
    const NbnsState& st = State();
    if (st.sendHook) return st.sendHook(fd, data, length, address, port);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(port);
    to.sin_addr.s_addr = address;
    return ::sendto(fd, data, length, 0, reinterpret_cast<const sockaddr*>(&to), sizeof to) >= 0;
}

bool send_packet(const std::uint8_t* packet, std::size_t length, std::uint32_t address,
                 std::uint16_t port)
{
    NbnsState& st = State();
    if (!send_datagram(st.nameSocket.load(), packet, length, address, port)) {
        nbns_log(0, "Send packet failed. ERRNO=%d\n", errno);
        return false;
    }
    ++st.numGoodSends;
    return true;
}

std::size_t read_udp_socket(int fd, std::uint8_t* buffer, std::size_t length)
{
    NbnsState& st = State();
    st.lastSenderAddress = 0;
    st.lastSenderPort = 0;
    sockaddr_in from{};
    socklen_t fromLength = sizeof from;
    const ssize_t n = ::recvfrom(fd, buffer, length, 0, reinterpret_cast<sockaddr*>(&from), &fromLength);
    if (n < 1) {
        nbns_log(2, "read socket failed. ERRNO=%d\n", errno);
        return 0;
    }
    st.lastSenderAddress = from.sin_addr.s_addr;
    st.lastSenderPort = ntohs(from.sin_port);
    return static_cast<std::size_t>(n);
}

}  // namespace Korvex::nbns
