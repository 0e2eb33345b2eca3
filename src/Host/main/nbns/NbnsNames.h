// The name table of the NetBIOS name service and the answers to received requests: name and
// node-status queries, registrations of the own name by other stations, refreshes and
// releases of other stations' names. At most MaxNameRecords records.
#pragma once

#include <cstddef>
#include <cstdint>

namespace Korvex::nbns {

// Names cut to 15 characters, trailing blanks removed, case ignored.
bool names_equal(const char* a, const char* b);

// Index of the first valid record with name and type (group records only when groups is
// set), expiring the records passed over; -1 when none.
int find_name(const char* name, int type, bool groups);

// A permanent record of the instrument's own (source self) unless a valid one with name and
// type exists; its index, -1 when the table is full.
int add_name_entry(const char* name, int type, std::uint32_t address, bool group);
inline int add_my_name_entry(const char* name, int type, std::uint32_t address)
{
    return add_name_entry(name, type, address, false);
}

// Answers one received name-service datagram (to the last sender unless stated otherwise).
void construct_reply(const std::uint8_t* packet, std::size_t length);

}  // namespace Korvex::nbns
