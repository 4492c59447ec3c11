// Printing of a daemon's fixed texts by log level. A line of level n is
// printed when the daemon's log level is at least n; a null text prints
// nothing. Texts that share a field between the daemons get the same
// arguments; a text that needs fewer uses the first ones, and printf
// ignores the rest.
#pragma once

#include <cstdio>

namespace gorv {

inline constexpr int kAlways = 0;

template <typename... Args>
void log_line(int log_level, int level, const char* text, Args... args) {
    if (text == nullptr || log_level < level) return;
    if constexpr (sizeof...(Args) == 0)
        std::fputs(text, stdout);
    else
        std::printf(text, args...);
}

}  // namespace gorv
