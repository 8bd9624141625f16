#pragma once
// The capture host's event lines on standard error: one compact JSON object per line, keys in
// ascending byte order, ended by a line feed.

#include <string>
#include <string_view>

namespace tamsel::host {

// {"code":"capture_failed","event":"error","message":...}\n
// The message may hold any bytes: invalid UTF-8 becomes U+FFFD instead of failing the line.
std::string error_event_line(std::string_view message);

// {"backend":...,"channels":1,"event":"format","sampleFormat":"s16le","sampleRate":48000}\n
std::string format_event_line(std::string_view backend);

// Writes the error event line on standard error in one write and gives the exit code 1.
int report_failure(std::string_view message);

}  // namespace tamsel::host
