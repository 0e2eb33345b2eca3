#include "Host/main/nbns/NbnsBrowse.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstring>
#include <string_view>

#include <strings.h>

#include "Host/main/nbns/NbnsNames.h"
#include "Host/main/nbns/NbnsPacket.h"

namespace Korvex::nbns {

namespace {

constexpr char BrowseName[] = "\x01\x02__MSBROWSE__\x02";
constexpr std::int64_t ReadWaitMs = 90;
constexpr std::size_t MaxComment = 47;
constexpr std::size_t BrowseHeader = 32;  // browse data before the comment
constexpr std::size_t AnnouncementHeader = 168;
constexpr std::size_t DatagramHeader = 14;

// One datagram from the name-service socket, waiting at most ms; 0 when none.
std::size_t read_waiting(std::uint8_t* buffer, std::int64_t ms)
{
    const int fd = State().nameSocket.load();
    fd_set set;
    FD_ZERO(&set);
    if (fd >= 0) FD_SET(fd, &set);
    if (module_clock().WaitReadable(fd >= 0 ? fd + 1 : 0, fd >= 0 ? &set : nullptr, ms) <= 0) return 0;
    return read_udp_socket(fd, buffer, MaxDatagram);
}

struct Waiting {
    std::uint8_t request[64];
    std::size_t length;
    std::uint32_t target;
};

// Sends the request and waits for its answer with the given attempts and time-out; read
// says what a datagram is. Returns 1 when answered.
template <typename Read>
int query_and_wait(const Waiting& w, int furtherAttempts, std::int64_t timeoutMs, bool answerEnds,
                   PacketHandler handler, Read read)
{
    NbnsState& st = State();
    if (!send_packet(w.request, w.length, w.target, 137)) return 0;
    std::int64_t sent = now_ms();
    int result = 0;
    std::uint8_t buffer[MaxDatagram];
    while (!st.stopRequested.load()) {
        if (now_ms() - sent > timeoutMs) {
            if (furtherAttempts == 0) return result;
            if (result == 0) send_packet(w.request, w.length, w.target, 137);
            --furtherAttempts;
            sent = now_ms();
        }
        const std::size_t n = read_waiting(buffer, ReadWaitMs);
        if (n < 2) continue;
        ++st.numGoodReceives;
        switch (read(buffer, n)) {
            case Awaited::Answer:
                result = 1;
                furtherAttempts = 0;
                if (answerEnds) return result;
                break;
            case Awaited::Refused:
                if (answerEnds) return 0;
                break;
            case Awaited::Other:
                if (handler != nullptr) handler(buffer, n);
                break;
        }
    }
    return result;
}

std::string_view trimmed(const char* text, std::size_t limit)
{
    std::size_t n = ::strnlen(text, limit);
    while (n > 0 && (text[n - 1] == ' ' || text[n - 1] == '\0')) --n;
    return {text, n};
}

}  // namespace

Awaited read_query_answer(const std::uint8_t* packet, std::size_t length, std::uint16_t trnId,
                          std::uint32_t& address)
{
    if (length < HeaderSize || !is_response(packet) || get16(packet) != trnId) return Awaited::Other;
    std::size_t data = 0;
    std::size_t dataLength = 0;
    if (opcode_of(packet) != OpQuery || rcode_of(packet) != 0 || get16(packet + 4) != 0 ||
        get16(packet + 6) != 1 || !read_first_answer(packet, length, data, dataLength) || dataLength < 6)
        return Awaited::Refused;
    std::memcpy(&address, packet + data + 2, 4);
    return Awaited::Answer;
}

Awaited read_status_answer(const std::uint8_t* packet, std::size_t length, std::uint16_t trnId,
                           char* group)
{
    if (length < HeaderSize || !is_response(packet) || get16(packet) != trnId) return Awaited::Other;
    std::size_t data = 0;
    std::size_t dataLength = 0;
    if (rcode_of(packet) != 0 || get16(packet + 6) != 1 || get16(packet + 4) != 0 ||
        !read_first_answer(packet, length, data, dataLength) || dataLength < 1)
        return Awaited::Refused;
    const std::size_t count = packet[data];
    if (1 + count * 18 + 46 > dataLength) return Awaited::Refused;
    for (std::size_t i = 0; i < count; ++i) {
        const std::uint8_t* entry = packet + data + 1 + i * 18;
        if (entry[15] != 0x1D || group == nullptr) continue;
        const std::string_view name = trimmed(reinterpret_cast<const char*>(entry), 15);
        std::memcpy(group, name.data(), name.size());
        group[name.size()] = '\0';
    }
    return Awaited::Answer;
}

int name_query(const char* name, int type, bool broadcast, std::uint32_t target,
               std::uint32_t* answered, PacketHandler handler)
{
    NbnsState& st = State();
    st.queryTrnId = static_cast<std::uint16_t>((st.queryTrnId + 45) % 32767);
    const std::uint16_t trnId = st.queryTrnId;
    Waiting w{};
    w.length = build_name_query(w.request, trnId, name, type, broadcast);
    w.target = target;
    return query_and_wait(w, 2, broadcast ? 250 : 5000, false, handler,
                          [&](const std::uint8_t* packet, std::size_t length) {
                              std::uint32_t address = 0;
                              const Awaited a = read_query_answer(packet, length, trnId, address);
                              if (a == Awaited::Answer) {
                                  in_addr from{};
                                  from.s_addr = st.lastSenderAddress;
                                  nbns_log(2, "Got a positive name query response from %s", ::inet_ntoa(from));
                                  *answered = address;
                              }
                              return a;
                          });
}

int name_status(const char* name, int type, std::uint32_t target, PacketHandler handler, char* group)
{
    NbnsState& st = State();
    st.statusTrnId = static_cast<std::uint16_t>((st.statusTrnId + 45) % 10000);
    const std::uint16_t trnId = st.statusTrnId;
    Waiting w{};
    w.length = build_status_request(w.request, trnId, name, type);
    w.target = target;
    return query_and_wait(w, 3, 5000, true, handler, [&](const std::uint8_t* packet, std::size_t length) {
        return read_status_answer(packet, length, trnId, group);
    });
}

std::size_t build_announcement(std::uint8_t* out, const char* myname, const char* group,
                               const char* comment)
{
    NbnsState& st = State();
    const std::size_t commentLength = ::strnlen(comment, MaxComment);
    const std::size_t dataLength = BrowseHeader + commentLength + 1;
    const std::size_t total = AnnouncementHeader + dataLength;
    std::memset(out, 0, MaxDatagram);

    out[0] = 0x11;
    out[1] = 0x02;
    put16(out + 2, st.datagramId);
    std::memcpy(out + 4, &st.ownAddress, 4);
    put16(out + 8, 138);
    put16(out + 10, static_cast<std::uint32_t>(total - DatagramHeader));
    put16(out + 12, 0);
    name_mangle(myname, out + 14, 0x00);
    name_mangle(group, out + 48, 0x1D);

    std::uint8_t* smb = out + 82;
    smb[0] = 0xFF;
    smb[1] = 'S';
    smb[2] = 'M';
    smb[3] = 'B';
    smb[4] = 0x25;
    smb[32] = 17;
    std::uint8_t* words = smb + 33;
    auto word = [&](int i, std::uint32_t v) {
        words[2 * i] = static_cast<std::uint8_t>(v);
        words[2 * i + 1] = static_cast<std::uint8_t>(v >> 8);
    };
    word(1, static_cast<std::uint32_t>(dataLength));
    word(11, static_cast<std::uint32_t>(dataLength));
    word(12, 86);
    word(13, 3);
    word(14, 1);
    word(15, 1);
    word(16, 2);
    word(17, static_cast<std::uint32_t>(dataLength + 17));  // byte count
    std::memcpy(out + 151, "\\MAILSLOT\\BROWSE", 17);

    std::uint8_t* data = out + AnnouncementHeader;
    data[0] = 1;
    data[1] = 6;
    data[2] = 0x60;
    data[3] = 0xEA;
    data[4] = static_cast<std::uint8_t>(st.announceInterval);
    data[5] = static_cast<std::uint8_t>(st.announceInterval >> 8);
    for (std::size_t i = 0; i < 15 && myname[i] != '\0'; ++i)
        data[6 + i] = upper_byte(static_cast<std::uint8_t>(myname[i]));
    data[22] = 1;
    data[23] = 0x33;
    data[24] = 0x03;
    data[25] = 0x0B;
    data[28] = 0x0B;
    data[29] = 0x03;
    data[30] = 0x55;
    data[31] = 0xAA;
    std::memcpy(data + BrowseHeader, comment, commentLength);
    return total;
}

void announce_host(std::size_t index, const char* myname, char* comment)
{
    NbnsState& st = State();
    NameRecord& record = st.names[index];
    if (++record.announce_count % st.announceInterval != 0) return;
    if (st.announceInterval < 2) ++st.announceInterval;
    in_addr to{};
    to.s_addr = record.address;
    nbns_log(2, "Sending host announcement to %s for group %s\n", ::inet_ntoa(to), record.name);
    if (::strlen(comment) > MaxComment) comment[MaxComment] = '\0';
    const char* text = comment[0] != '\0' ? comment : "NoComment";
    const char* own = myname[0] != '\0' ? myname : "NoName";
    const char* group = record.name[0] != '\0' ? record.name : "NoGroup";

    std::uint8_t datagram[MaxDatagram];
    ++st.datagramId;
    const std::size_t length = build_announcement(datagram, own, group, text);
    if (send_datagram(st.datagramSocket.load(), datagram, length, record.address, 138)) ++st.numGoodSends;
    else nbns_log(3, "Sendto failed errno=%d (%s)\n", errno, std::strerror(errno));
}

void do_browse_hook()
{
    NbnsState& st = State();
    st.lastBrowseTime = now_seconds();
    for (std::size_t i = 0; i < st.names.size(); ++i) {
        // The table may grow (and move) during every wait below: the record by its index.
        auto record = [&]() -> NameRecord& { return st.names[i]; };
        if (!record().valid || !record().group) continue;
        const bool hadMaster = record().found_master;
        if (record().found_master) {
            announce_host(i, st.myname, st.comment);
            std::uint32_t master = 0;
            char group[RecordNameSize];
            std::memcpy(group, record().name, sizeof group);
            if (name_query(group, 0x1D, true, record().master_address, &master, &construct_reply) == 0) {
                in_addr a{};
                a.s_addr = record().master_address;
                nbns_log(2, "%s Master browser at %s failed to respond\n", group, ::inet_ntoa(a));
                record().found_master = false;
            } else {
                record().master_address = master;
            }
        }
        if (record().found_master) continue;

        char group[RecordNameSize];
        std::memcpy(group, record().name, sizeof group);
        const bool browseAll = ::strcasecmp(group, "*") == 0;
        const char* queried = browseAll ? BrowseName : group;
        const int queriedType = browseAll ? 0x01 : 0x1D;
        std::uint32_t master = 0;
        bool found = false;
        if (name_query(queried, queriedType, true, record().address, &master, &construct_reply) != 0) {
            if (queriedType == 0x01) {
                char learnt[RecordNameSize];
                std::memcpy(learnt, group, sizeof learnt);
                name_status(BrowseName, 0x01, master, &construct_reply, learnt);
                std::memcpy(record().name, learnt, sizeof learnt);
                found = record().name[0] != '*';
            } else {
                found = true;
            }
        }
        record().found_master = found;
        if (found) {
            record().master_address = master;
            in_addr a{};
            a.s_addr = master;
            nbns_log(1, "%s New master browser for %s at %s\n", "", record().name, ::inet_ntoa(a));
            record().announce_count = 0;
            announce_host(i, st.myname, st.comment);
            continue;
        }
        nbns_log(hadMaster || st.firstBrowse ? 1 : 2, "%s Failed to find a master browser for %s using %s\n",
                 "", record().name, queried);
    }
    st.firstBrowse = false;
}

}  // namespace Korvex::nbns
