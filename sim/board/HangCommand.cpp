#include "sim/board/HangCommand.h"

#include "platform/kernel/Kernel.h"
#include "sim/board/Board.h"

namespace sim {

std::string HangCommand(const std::string& arguments) {
    if (arguments.empty()) return "ERR usage: hang <thread name>";
    const kernel::handle_t thread = kernel::thread_find(arguments.c_str());
    if (thread == 0) return "ERR no thread " + arguments;
    kernel::thread_suspend(thread);
    return "OK hung " + arguments;
}

bool RegisterHangCommand() { return Board::RegisterCommand("hang", &HangCommand); }

}  // namespace sim
