// The help file "/romfs/help.dat", made from the command tables at build time:
//   bytes 0-35     header: "KorvexHelp" and NULs to byte 15, then little-endian u32s:
//                  16 record count, 20 headers text length, 24 record size (130);
//                  the rest 0
//   bytes 36-5035  headers text: one line ("\n"-ended) per command pattern, a set/query
//                  pair once as "PATTERN[?]"; NUL-padded
//   from 5036      record n at 5036 + 130 * n: the syntax of command n (its pattern, then
//                  its parameters), NUL-padded
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace mkhelp {

constexpr std::size_t HeaderSize = 36;
constexpr std::size_t TextSize = 5000;
constexpr std::size_t RecordSize = 130;

// The headers text (unpadded).
std::string HeadersText();
// The syntax text of command n (unpadded), e.g. "*ESE <numeric>".
std::string SyntaxRecord(unsigned n);
// The whole file. Returns false with a reason when the text passes 5000 bytes or a record
// 129 (one NUL must remain).
bool MakeHelpImage(std::vector<std::uint8_t>& image, std::string& error);

}  // namespace mkhelp
