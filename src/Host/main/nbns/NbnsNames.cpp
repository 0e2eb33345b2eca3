#include "Host/main/nbns/NbnsNames.h"

#include <arpa/inet.h>

#include <cctype>
#include <cstring>
#include <new>

#include "Host/main/nbns/NbnsPacket.h"
#include "Host/main/nbns/NbnsState.h"

namespace Korvex::nbns {

namespace {

constexpr std::int32_t LookupTtl = 120;
constexpr std::uint32_t MaxRefreshTtl = 86400;
constexpr std::uint32_t MaxAnsweredTtl = 900;
constexpr std::size_t StatisticsSize = 46;
constexpr std::size_t StatusNamesLimit = 465;

// The comparable part of a name: at most 15 characters without trailing blanks.
std::size_t comparable_length(const char* name)
{
    std::size_t n = ::strnlen(name, 15);
    while (n > 0 && name[n - 1] == ' ') --n;
    return n;
}

void copy_name(char* to, const char* from, std::size_t limit)
{
    const std::size_t n = ::strnlen(from, limit);
    std::memcpy(to, from, n);
    to[n] = '\0';
}

bool expired(NameRecord& record, std::int32_t now)
{
    if (record.ttl > 0 && static_cast<std::int64_t>(record.start_time) + record.ttl < now) {
        record.valid = false;
        return true;
    }
    return false;
}

// A record slot: the first one not valid, else a new one at the end.
int new_record()
{
    NbnsState& st = State();
    for (std::size_t i = 0; i < st.names.size(); ++i)
        if (!st.names[i].valid) return static_cast<int>(i);
    if (st.names.size() >= MaxNameRecords) {
        nbns_log(0, "Can't malloc more names space!\n");
        return -1;
    }
    try {
        st.names.emplace_back();
    } catch (const std::bad_alloc&) {
        nbns_log(0, "Can't malloc more names space!\n");
        return -1;
    }
    return static_cast<int>(st.names.size() - 1);
}

void reply_to_sender(const std::uint8_t* packet, std::size_t length)
{
    const NbnsState& st = State();
    if (length == 0) return;
    send_packet(packet, length, st.lastSenderAddress, st.lastSenderPort > 0 ? st.lastSenderPort : 137);
}

std::size_t nb_answer(std::uint8_t* out, const std::uint8_t* request, const Question& question,
                      std::uint8_t byte2, std::uint8_t byte3, std::uint32_t ttl,
                      std::uint8_t nbFlags, std::uint32_t address)
{
    std::uint8_t data[6] = {nbFlags, 0};
    std::memcpy(data + 2, &address, 4);
    return build_answer(out, request, question, byte2, byte3, TypeNb, ttl, data, sizeof data);
}

void name_query(const std::uint8_t* packet, const Question& q)
{
    NbnsState& st = State();
    std::uint8_t reply[MaxDatagram];
    const bool broadcast = is_broadcast(packet);
    if (q.name[0] == '*') {
        reply_to_sender(reply, nb_answer(reply, packet, q, 0x85, 0x00, 0, 0, st.ownAddress));
        return;
    }
    int found = find_name(q.name, q.nameType, false);
    if (found < 0) found = find_name(q.name, q.nameType, true);
    if (found >= 0) {
        const NameRecord& record = st.names[static_cast<std::size_t>(found)];
        if (broadcast && (record.unicast || record.source == SourceRegistered)) {
            nbns_log(2, " - broadcast. No reply\n");
        } else if (record.group) {
            nbns_log(2, " - group name. No reply\n");
        } else {
            nbns_log(2, " sending positive reply\n");
            reply_to_sender(reply, nb_answer(reply, packet, q, 0x85, 0x00, 0, 0, record.address));
        }
        return;
    }
    if (broadcast || (q.nameType != 0x00 && q.nameType != 0x03 && q.nameType != 0x20)) return;
    nbns_log(2, " sending positive reply (%s)\n", q.name);
    reply_to_sender(reply, nb_answer(reply, packet, q, 0x85, 0x00, 0, 0, st.ownAddress));
    const int slot = new_record();
    if (slot < 0) return;
    NameRecord& record = st.names[static_cast<std::size_t>(slot)];
    record = NameRecord{};
    copy_name(record.name, q.name, 15);
    record.type = q.nameType;
    record.address = st.ownAddress;
    record.unicast = true;  // answered to unicast queries only, as the query it came from
    record.ttl = LookupTtl;
    record.start_time = now_seconds();
    record.source = SourceLookup;
    record.valid = true;
}

void node_status_query(const std::uint8_t* packet, const Question& q)
{
    NbnsState& st = State();
    if (q.name[0] != '*') {
        const int found = find_name(q.name, q.nameType, false);
        if (found < 0 || st.names[static_cast<std::size_t>(found)].source != SourceSelf) return;
    }
    const std::size_t numNamesOffset = HeaderSize + q.nameLength + 10;
    const std::size_t limit = (StatusNamesLimit - numNamesOffset) / 18;
    std::uint8_t data[1 + StatusNamesLimit / 18 * 18 + StatisticsSize] = {};
    std::size_t listed = 0;
    for (const NameRecord& record : st.names) {
        if (listed >= limit) break;
        if (!record.valid) continue;
        std::uint8_t* entry = data + 1 + listed * 18;
        for (std::size_t i = 0; i < 15 && record.name[i] != '\0'; ++i)
            entry[i] = upper_byte(static_cast<std::uint8_t>(record.name[i]));
        entry[15] = static_cast<std::uint8_t>(record.type);
        entry[16] = 0x04;
        if (names_equal(record.name, st.myname)) entry[16] |= 0x02;
        if (record.group) entry[16] |= 0x80;
        ++listed;
    }
    data[0] = static_cast<std::uint8_t>(listed);
    std::uint8_t* stats = data + 1 + listed * 18;
    std::memcpy(stats, &st.ownAddress, 4);
    for (int i = 0; i < 4; ++i) {
        stats[20 + i] = static_cast<std::uint8_t>(static_cast<std::uint32_t>(st.numGoodSends) >> (8 * i));
        stats[24 + i] = static_cast<std::uint8_t>(static_cast<std::uint32_t>(st.numGoodReceives) >> (8 * i));
    }
    std::uint8_t reply[MaxDatagram];
    reply_to_sender(reply, build_answer(reply, packet, q, 0x84, 0x00, q.type, 0, data,
                                        1 + listed * 18 + StatisticsSize));
}

// Registration (opcode 5) of the own name by another station.
void registration(const std::uint8_t* packet, const Question& q, const AdditionalRecord& ar)
{
    NbnsState& st = State();
    const char* begin = q.name;
    while (*begin == ' ') ++begin;
    std::size_t n = std::strlen(begin);
    while (n > 0 && begin[n - 1] == ' ') --n;
    const std::size_t mine = ::strnlen(st.myname, 15);
    if (n != mine || ::strncasecmp(begin, st.myname, n) != 0) return;
    if (ar.address == st.ownAddress) return;  // our own broadcast
    nbns_log(1, "nmbd Debug - Name Reg request for myname from a diff system!!!\n");
    std::uint8_t reply[MaxDatagram];
    const std::size_t length = nb_answer(reply, packet, q, 0xAD, 0x86, 0, ar.nbFlags, st.ownAddress);
    if (length > 0)
        send_packet(reply, length, ar.address, st.lastSenderPort > 0 ? st.lastSenderPort : 137);
}

void refresh(const std::uint8_t* packet, const Question& q, const AdditionalRecord& ar)
{
    NbnsState& st = State();
    if (q.nameType != 0x1D && (ar.nbFlags & 0x80) == 0) {
        const std::uint32_t ttl = ar.ttl == 0 || ar.ttl > MaxRefreshTtl ? MaxRefreshTtl : ar.ttl;
        int slot = find_name(q.name, q.nameType, true);
        if (slot >= 0) {
            const std::int32_t source = st.names[static_cast<std::size_t>(slot)].source;
            if (source != SourceRegistered && source != SourceLookup) return;
        } else {
            slot = new_record();
            if (slot < 0) return;
        }
        NameRecord& record = st.names[static_cast<std::size_t>(slot)];
        record = NameRecord{};
        copy_name(record.name, q.name, 15);
        record.type = q.nameType;
        record.unicast = true;
        record.source = SourceRegistered;
        record.address = ar.address;
        record.valid = true;
        record.ttl = static_cast<std::int32_t>(ttl);
        record.start_time = now_seconds();
        in_addr a{};
        a.s_addr = ar.address;
        nbns_log(2, "Added %s with ttl %d as (%s) (uni=%s)\n", record.name, record.ttl, ::inet_ntoa(a), "True");
    }
    const std::uint32_t answered = ar.ttl == 0 || ar.ttl > MaxAnsweredTtl ? MaxAnsweredTtl : ar.ttl;
    std::uint8_t reply[MaxDatagram];
    reply_to_sender(reply, nb_answer(reply, packet, q, 0xAD, 0x80, answered, ar.nbFlags, ar.address));
}

void release(const std::uint8_t* packet, const Question& q, const AdditionalRecord& ar)
{
    NbnsState& st = State();
    const int found = find_name(q.name, q.nameType, true);
    bool released = false;
    if (found >= 0) {
        NameRecord& record = st.names[static_cast<std::size_t>(found)];
        if (record.source == SourceRegistered && record.address == ar.address) {
            record.valid = false;
            released = true;
        }
    }
    nbns_log(2, "Sending a %s name release response\n", released ? "positive" : "negative");
    std::uint8_t reply[MaxDatagram];
    reply_to_sender(reply, nb_answer(reply, packet, q, 0xB4, released ? 0x00 : 0x05, 0, ar.nbFlags, ar.address));
}

}  // namespace

bool names_equal(const char* a, const char* b)
{
    const std::size_t n = comparable_length(a);
    return n == comparable_length(b) && ::strncasecmp(a, b, n) == 0;
}

int find_name(const char* name, int type, bool groups)
{
    NbnsState& st = State();
    const std::int32_t now = now_seconds();
    for (std::size_t i = 0; i < st.names.size(); ++i) {
        NameRecord& record = st.names[i];
        if (!record.valid || (record.group && !groups)) continue;
        if (expired(record, now)) continue;
        if (record.type == type && names_equal(record.name, name)) return static_cast<int>(i);
    }
    return -1;
}

int add_name_entry(const char* name, int type, std::uint32_t address, bool group)
{
    NbnsState& st = State();
    for (std::size_t i = 0; i < st.names.size(); ++i) {
        const NameRecord& record = st.names[i];
        if (record.valid && record.type == type && names_equal(record.name, name)) return static_cast<int>(i);
    }
    const int slot = new_record();
    if (slot < 0) return -1;
    NameRecord& record = st.names[static_cast<std::size_t>(slot)];
    record = NameRecord{};
    copy_name(record.name, name, RecordNameSize - 1);
    record.type = type;
    record.address = address;
    record.group = group;
    record.source = SourceSelf;
    record.start_time = now_seconds();
    record.valid = true;
    return slot;
}

void construct_reply(const std::uint8_t* packet, std::size_t length)
{
    if (length < HeaderSize) return;
    if (is_response(packet) || rcode_of(packet) != 0) {
        nbns_log(1, "nmbd Debug - construct_reply - Response recvd\n");
        return;
    }
    const int opcode = opcode_of(packet);
    const std::uint16_t questions = get16(packet + 4);
    const std::uint16_t additional = get16(packet + 10);
    const bool broadcast = is_broadcast(packet);
    Question q;
    AdditionalRecord ar;
    const bool withRecord = questions == 1 && additional == 1;
    switch (opcode) {
        case OpRegistration:
            if (withRecord && read_question(packet, length, q) && read_additional(packet, length, q.end, ar))
                registration(packet, q, ar);
            break;
        case OpQuery:
            if (questions != 1 || !read_question(packet, length, q)) break;
            if (q.type == TypeNbStat) node_status_query(packet, q);
            else if (q.type == TypeNb) name_query(packet, q);
            break;
        case OpRelease:
            if (!broadcast && withRecord && read_question(packet, length, q) &&
                read_additional(packet, length, q.end, ar))
                release(packet, q, ar);
            break;
        case OpRefresh8:
        case OpRefresh9:
            if (!broadcast && withRecord && read_question(packet, length, q) &&
                read_additional(packet, length, q.end, ar))
                refresh(packet, q, ar);
            break;
        default: break;
    }
}

}  // namespace Korvex::nbns
