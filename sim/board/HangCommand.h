// The control command "hang <thread name>": suspends the named kernel thread, as a firmware
// thread that stops making progress would. Answers "OK hung <name>" or "ERR no thread <name>";
// "hang" alone lists the live threads ("OK threads: <name> | <name> ...").
#pragma once

#include <string>

namespace sim {

// The command's handler (the text after "hang").
std::string HangCommand(const std::string& arguments);
// Adds "hang" to the board's control commands; false when the name is taken.
bool RegisterHangCommand();

}  // namespace sim
