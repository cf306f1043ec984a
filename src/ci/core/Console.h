#pragma once

#include <functional>
#include <string>

namespace ci {

/// Writes one line to the console (standard error). Every layer writes its documented console
/// lines through here, so tests can capture them.
void console(const std::string& line);

/// Replaces the console sink (nullptr restores standard error). Returns the previous sink.
using ConsoleSink = std::function<void(const std::string&)>;
ConsoleSink setConsoleSink(ConsoleSink sink);

} // namespace ci
