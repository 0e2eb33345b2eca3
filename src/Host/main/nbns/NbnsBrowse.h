// The browse pass of the NetBIOS name service: for each group of the name table it finds the
// subnet's master browser by broadcast name query and sends it host announcements
// ("\MAILSLOT\BROWSE" on UDP 138).
#pragma once

#include <cstddef>
#include <cstdint>

#include "Host/main/nbns/NbnsState.h"

namespace Korvex::nbns {

// Gets every datagram read while a query waits that is not its answer.
using PacketHandler = void (*)(const std::uint8_t* packet, std::size_t length);

// One browse pass.
void do_browse_hook();

// Broadcast (or unicast) name query for name<type> to target; 1 with the answered address
// (network byte order), 0 when none came.
int name_query(const char* name, int type, bool broadcast, std::uint32_t target,
               std::uint32_t* answered, PacketHandler handler);

// Node-status query; 1 when a response arrived whose names and statistics fit. Its last name
// of type 0x1D, when there is one, goes to group (RecordNameSize bytes) when given.
int name_status(const char* name, int type, std::uint32_t target, PacketHandler handler, char* group);

// Sends the host announcement for the group record at index when it is due.
void announce_host(std::size_t index, const char* myname, char* comment);

// Readers of the awaited answers, for the datagram of length bytes.
enum class Awaited { Other, Answer, Refused };
Awaited read_query_answer(const std::uint8_t* packet, std::size_t length, std::uint16_t trnId,
                          std::uint32_t& address);
Awaited read_status_answer(const std::uint8_t* packet, std::size_t length, std::uint16_t trnId,
                           char* group);

// The host announcement datagram for group in out (MaxDatagram bytes); its length.
std::size_t build_announcement(std::uint8_t* out, const char* myname, const char* group,
                               const char* comment);

}  // namespace Korvex::nbns
