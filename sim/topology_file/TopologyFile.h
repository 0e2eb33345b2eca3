// Descriptions of what is plugged into the simulated instrument's socket, one device a line:
//
//   <path> probe|camera|mux [word=N] [number=N] [designation=TEXT] [range=minHz,maxHz]
//          [gyro=HzPerT] [hall=x,y,z] [memory=single|directory|blank] [heads=N] [ports=N]
//          [type=N]
//
// path is the device's channel levels joined by "/", the socket being "1" ("1/3" is port 3
// of the multiplexer on the socket). Numbers take C notation (0x.. for hex). type replaces
// the kind's type code as the controller reports it. A description file holds such lines;
// blank lines and lines starting with '#' are skipped, and a device must come after the
// multiplexer it is plugged into.
#pragma once

#include <string>

#include "sim/peripheral_controller/PeripheralControllerSim.h"

namespace sim {
namespace periph {

// false with a reason when the line is not a description.
bool ParseDescription(const std::string& line, std::string& path, DeviceDescription& description,
                      std::string& error);

// Empties the controller's socket and plugs every device of the file; false with the
// failing line's number and reason (what came before it stays plugged). A path described on
// two lines is refused at the second.
bool LoadTopologyFile(const std::string& file, std::string& error,
                      PeripheralControllerSim& controller = BoardPeripheralController());

// Adds plug, unplug, nmr, adc and fault to the board's control commands (sim::Board); a name
// already taken is left as it is.
void RegisterPeripheralCommands();

// Socket commands of the board's control socket: "plug <path> <description>",
// "unplug <path>", "nmr 0|1|2|3", "adc N", "fault <name> <n>" (names: badcheck, nack,
// refuse, neverready, zerodata, route6, shortentry, pending; "fault" alone lists them). reply receives "OK" or
// "ERR <text>"; false when the line is none of these commands.
bool HandleCommand(const std::string& line, std::string& reply,
                   PeripheralControllerSim& controller = BoardPeripheralController());

}  // namespace periph
}  // namespace sim
