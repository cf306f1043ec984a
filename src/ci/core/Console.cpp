#include "Console.h"

#include <cstdio>
#include <mutex>

namespace ci {

namespace {
std::mutex& consoleMutex() {
    static std::mutex m;
    return m;
}
ConsoleSink& sink() {
    static ConsoleSink s;
    return s;
}
} // namespace

void console(const std::string& line) {
    std::lock_guard<std::mutex> lock(consoleMutex());
    if (sink()) {
        sink()(line);
        return;
    }
    std::fprintf(stderr, "%s\n", line.c_str());
}

ConsoleSink setConsoleSink(ConsoleSink s) {
    std::lock_guard<std::mutex> lock(consoleMutex());
    ConsoleSink previous = std::move(sink());
    sink() = std::move(s);
    return previous;
}

} // namespace ci
