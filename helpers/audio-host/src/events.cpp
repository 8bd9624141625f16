#include "events.hpp"

#include <nlohmann/json.hpp>

#include "tamsel/audio/platform.hpp"
#include "tamsel/audio/text.hpp"

namespace tamsel::host {
namespace {

// Compact, default escaping; the texts are made valid UTF-8 beforehand, and the replace
// handler keeps dump() from throwing should anything slip through.
std::string dump_line(const nlohmann::json& object) {
    std::string line = object.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
    line.push_back('\n');
    return line;
}

}  // namespace

std::string error_event_line(std::string_view message) {
    nlohmann::json object = nlohmann::json::object();
    object["code"] = "capture_failed";
    object["event"] = "error";
    object["message"] = utf8_lossy(message);
    return dump_line(object);
}

std::string format_event_line(std::string_view backend) {
    nlohmann::json object = nlohmann::json::object();
    object["backend"] = utf8_lossy(backend);
    object["channels"] = 1;
    object["event"] = "format";
    object["sampleFormat"] = "s16le";
    object["sampleRate"] = 48000;
    return dump_line(object);
}

int report_failure(std::string_view message) {
    write_stderr_line(error_event_line(message));
    return 1;
}

}  // namespace tamsel::host
