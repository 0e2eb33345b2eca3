#include "engine/vxi11/Vxi11Log.h"

#include <atomic>
#include <cstdarg>
#include <cstdio>

#include "engine/vxi11/Vxi11ServerBuilder.h"

namespace {

std::atomic<void (*)(const char*)> g_sink{nullptr};

}  // namespace

void vxi11_set_log_sink(void (*sink)(const char* line)) { g_sink.store(sink); }

void Vxi11Log(const char* format, ...) {
    char line[256];
    va_list arguments;
    va_start(arguments, format);
    std::vsnprintf(line, sizeof(line), format, arguments);
    va_end(arguments);
    void (*sink)(const char*) = g_sink.load();
    if (sink != nullptr) {
        sink(line);
    } else {
        std::fprintf(stderr, "%s\n", line);
    }
}
