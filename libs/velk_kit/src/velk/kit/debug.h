#pragma once

#include <iosfwd>
#include <string>

namespace velk::kit::debug {

// The stream that diagnostic lines go to; standard error until a caller points it elsewhere.
// Returns a reference to the process-wide pointer, so `stream() = &someStream` redirects all
// later lines. Reassigning it while other threads write is the caller's race to avoid; the
// stream it points to must outlive every writer.
std::ostream*& stream();

namespace detail {

// The text that starts every diagnostic line: local time with milliseconds, the kernel thread
// id in brackets and the base name of `sourceFile`, for example
// "2026-12-07 19:50:48.123 [4711] system_commands_linux.cpp: ". Thread-safe.
std::string printPrefix(const char* sourceFile);

}  // namespace detail
}  // namespace velk::kit::debug
