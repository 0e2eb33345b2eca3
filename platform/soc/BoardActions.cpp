#include "platform/soc/BoardActions.h"

#include <atomic>
#include <mutex>

namespace platform::soc {

namespace {

struct Recorder {
    std::mutex lock;
    std::vector<BoardAction> actions;
};

Recorder& recorder() {
    static Recorder* r = new Recorder;
    return *r;
}

void recordingSink(BoardAction action) {
    Recorder& r = recorder();
    std::lock_guard<std::mutex> g(r.lock);
    r.actions.push_back(action);
}

std::atomic<BoardActionSink> currentSink{&recordingSink};

}  // namespace

void set_board_action_sink(BoardActionSink sink) {
    currentSink.store(sink ? sink : &recordingSink);
}

void board_action(BoardAction action) { currentSink.load()(action); }

std::vector<BoardAction> recorded_board_actions() {
    Recorder& r = recorder();
    std::lock_guard<std::mutex> g(r.lock);
    return r.actions;
}

void clear_recorded_board_actions() {
    Recorder& r = recorder();
    std::lock_guard<std::mutex> g(r.lock);
    r.actions.clear();
}

}  // namespace platform::soc
