#pragma once
// The script that the test loopback engine plays, and the PCM the capture host must make of it.
// Shared by the engine (mmdevapi.dll built from this folder) and by the stand-in translator
// that checks the host, so both sides read the same script the same way.
//
// Script: one directive per line, '#' starts a comment.
//   activation complete [delay=MS] [hr=0xHHHHHHHH] [interface=client|none|other]
//   activation never                  the completion is never called
//   activation late                   the completion comes only when the process ends
//   activation refuse hr=0x...        ActivateAudioInterfaceAsync itself fails
//   activation no-operation           it succeeds but hands back no operation object
//   activation no-operation-callback  the completion is called with a null operation
//   buffer FRAMES                     the buffer size GetBufferSize reports (default 1056)
//   pace realtime                     a packet is ready when its last frame has played
//   pace fast WINDOW                  ready as soon as the translator is at most WINDOW frames
//                                     behind (it publishes its position in shared memory)
//   packets COUNT FRAMES [silent] [discontinuity] [misaligned]
//   pause MS                          no packet for MS milliseconds (real-time pace)
//   fail CALL [at=PACKET] hr=0x... [noinfo]
//       CALL: Initialize GetBufferSize GetService SetEventHandle Start (at ignored), or
//       GetNextPacketSize GetBuffer ReleaseBuffer: the first such call made while PACKET is the
//       next packet to be taken. The engine leaves a COM error description ("test engine: CALL
//       failed") unless noinfo is given.
// After the last packet the stream stays open and idle.
//
// Samples: every audible frame carries values computed from its position (frames of audible
// and silent packets counted from 0), so each PCM byte the host writes can be predicted.
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

namespace tamsel::test_engine {

inline constexpr std::uint32_t FLAG_DISCONTINUITY = 0x1;  // AUDCLNT_BUFFERFLAGS_DATA_DISCONTINUITY
inline constexpr std::uint32_t FLAG_SILENT = 0x2;         // AUDCLNT_BUFFERFLAGS_SILENT
inline constexpr std::uint32_t FLAG_MISALIGNED = 0x100;   // engine only: data pointer off by 2 bytes

inline constexpr std::uint32_t RATE = 48000;
inline constexpr std::uint32_t CHUNK_FRAMES = 960;
inline constexpr std::size_t CHUNK_BYTES = CHUNK_FRAMES * 2;

enum class Activation { complete, never, late, refuse, no_operation, no_operation_callback };
enum class Delivered { client, none, other };

struct PacketRun {
    std::uint64_t count = 0;
    std::uint32_t frames = 0;
    std::uint32_t flags = 0;
    std::uint32_t pause_ms = 0;  // a pause entry has count 0
};

struct Failure {
    std::string call;
    std::uint64_t at = 0;
    std::uint32_t hr = 0;
    bool error_info = true;
};

struct Scenario {
    Activation activation = Activation::complete;
    std::uint32_t delay_ms = 0;
    std::uint32_t activate_hr = 0;
    Delivered delivered = Delivered::client;
    std::uint32_t buffer_frames = 1056;
    bool realtime = true;
    std::uint64_t window = 8192;
    std::vector<PacketRun> runs;
    std::vector<Failure> failures;

    const Failure* failure(std::string_view call) const {
        for (const Failure& f : failures) {
            if (f.call == call) return &f;
        }
        return nullptr;
    }
    std::uint64_t packet_count() const {
        std::uint64_t n = 0;
        for (const PacketRun& r : runs) n += r.count;
        return n;
    }
    std::uint64_t total_frames() const {
        std::uint64_t n = 0;
        for (const PacketRun& r : runs) n += r.count * r.frames;
        return n;
    }
};

namespace detail {
inline bool number(std::string_view text, std::uint64_t& value) {
    if (text.empty()) return false;
    const std::string copy(text);
    char* end = nullptr;
    value = std::strtoull(copy.c_str(), &end, 0);
    return end && *end == '\0';
}
inline bool option(std::string_view word, std::string_view key, std::uint64_t& value) {
    if (word.size() <= key.size() + 1 || word.substr(0, key.size()) != key || word[key.size()] != '=') return false;
    return number(word.substr(key.size() + 1), value);
}
}  // namespace detail

// The scenario, or nothing with `error` telling which line is wrong.
inline std::optional<Scenario> parse_scenario(std::string_view text, std::string& error) {
    Scenario s;
    std::istringstream lines{std::string(text)};
    std::string line;
    int number = 0;
    while (std::getline(lines, line)) {
        ++number;
        if (const auto hash = line.find('#'); hash != std::string::npos) line.resize(hash);
        std::istringstream in(line);
        std::vector<std::string> w;
        for (std::string word; in >> word;) w.push_back(word);
        if (w.empty()) continue;
        bool good = true;
        std::uint64_t v = 0;
        if (w[0] == "activation" && w.size() >= 2) {
            const std::string& kind = w[1];
            if (kind == "complete") s.activation = Activation::complete;
            else if (kind == "never") s.activation = Activation::never;
            else if (kind == "late") s.activation = Activation::late;
            else if (kind == "refuse") s.activation = Activation::refuse;
            else if (kind == "no-operation") s.activation = Activation::no_operation;
            else if (kind == "no-operation-callback") s.activation = Activation::no_operation_callback;
            else good = false;
            for (std::size_t i = 2; good && i < w.size(); ++i) {
                if (detail::option(w[i], "delay", v)) s.delay_ms = static_cast<std::uint32_t>(v);
                else if (detail::option(w[i], "hr", v)) s.activate_hr = static_cast<std::uint32_t>(v);
                else if (w[i] == "interface=client") s.delivered = Delivered::client;
                else if (w[i] == "interface=none") s.delivered = Delivered::none;
                else if (w[i] == "interface=other") s.delivered = Delivered::other;
                else good = false;
            }
        } else if (w[0] == "buffer" && w.size() == 2 && detail::number(w[1], v)) {
            s.buffer_frames = static_cast<std::uint32_t>(v);
        } else if (w[0] == "pace" && w.size() == 2 && w[1] == "realtime") {
            s.realtime = true;
        } else if (w[0] == "pace" && w.size() == 3 && w[1] == "fast" && detail::number(w[2], v)) {
            s.realtime = false;
            s.window = v;
        } else if (w[0] == "pause" && w.size() == 2 && detail::number(w[1], v)) {
            s.runs.push_back(PacketRun{0, 0, 0, static_cast<std::uint32_t>(v)});
        } else if (w[0] == "packets" && w.size() >= 3) {
            PacketRun run;
            std::uint64_t frames = 0;
            good = detail::number(w[1], run.count) && detail::number(w[2], frames);
            run.frames = static_cast<std::uint32_t>(frames);
            for (std::size_t i = 3; good && i < w.size(); ++i) {
                if (w[i] == "silent") run.flags |= FLAG_SILENT;
                else if (w[i] == "discontinuity") run.flags |= FLAG_DISCONTINUITY;
                else if (w[i] == "misaligned") run.flags |= FLAG_MISALIGNED;
                else good = false;
            }
            if (good && run.count > 0) s.runs.push_back(run);
        } else if (w[0] == "fail" && w.size() >= 3) {
            Failure f;
            f.call = w[1];
            bool has_hr = false;
            for (std::size_t i = 2; good && i < w.size(); ++i) {
                if (detail::option(w[i], "at", v)) f.at = v;
                else if (detail::option(w[i], "hr", v)) f.hr = static_cast<std::uint32_t>(v), has_hr = true;
                else if (w[i] == "noinfo") f.error_info = false;
                else good = false;
            }
            good = good && has_hr;
            if (good) s.failures.push_back(f);
        } else {
            good = false;
        }
        if (!good) {
            error = "scenario line " + std::to_string(number) + ": " + line;
            return std::nullopt;
        }
    }
    return s;
}

// The stereo frame at a position: both channels differ, and every value is exact in float.
inline float left_sample(std::uint64_t position) {
    return static_cast<float>(static_cast<std::int32_t>((position * 7919u) % 65536u) - 32768) / 32768.0f;
}
inline float right_sample(std::uint64_t position) {
    return static_cast<float>(static_cast<std::int32_t>((position * 104729u + 12345u) % 65536u) - 32768) / 32768.0f;
}

// The host's conversion of one stereo frame to a mono s16 sample, step by step.
inline std::int16_t mono_pcm(float left, float right) {
    float sum = -0.0f;
    sum += left;
    sum += right;
    float mean = sum / 2.0f;
    if (mean < -1.0f) mean = -1.0f;
    if (mean > 1.0f) mean = 1.0f;
    return static_cast<std::int16_t>(mean * 32767.0f);
}

// The PCM stream the host makes of the script's packets, chunk by chunk: pending audio is
// dropped at a discontinuity, silent frames give zeros, and only whole chunks come out.
class ExpectedStream {
public:
    // Plays the first `packets` packets of the scenario.
    ExpectedStream(const Scenario& scenario, std::uint64_t packets) : scenario_(scenario), limit_(packets) {}

    // The next chunk and the engine position just past its last frame; false at the end.
    bool next_chunk(std::string& chunk, std::uint64_t& end_position) {
        for (;;) {
            while (frame_ < current_frames_) {
                const std::uint64_t p = position_++;
                ++frame_;
                const std::int16_t v = silent_ ? std::int16_t{0} : mono_pcm(left_sample(p), right_sample(p));
                pending_.push_back(static_cast<char>(static_cast<std::uint16_t>(v) & 0xFF));
                pending_.push_back(static_cast<char>(static_cast<std::uint16_t>(v) >> 8));
                if (pending_.size() == CHUNK_BYTES) {
                    chunk.swap(pending_);
                    pending_.clear();
                    end_position = position_;
                    return true;
                }
            }
            if (!next_packet()) return false;
        }
    }

    // Every chunk, concatenated.
    std::string all() {
        std::string out, chunk;
        std::uint64_t end = 0;
        while (next_chunk(chunk, end)) out += chunk;
        return out;
    }

private:
    bool next_packet() {
        while (run_ < scenario_.runs.size() && in_run_ >= scenario_.runs[run_].count) {
            ++run_;
            in_run_ = 0;
        }
        if (run_ >= scenario_.runs.size() || taken_ >= limit_) return false;
        const PacketRun& run = scenario_.runs[run_];
        ++in_run_;
        ++taken_;
        if ((run.flags & FLAG_DISCONTINUITY) != 0) pending_.clear();
        silent_ = (run.flags & FLAG_SILENT) != 0;
        current_frames_ = run.frames;
        frame_ = 0;
        return true;
    }

    const Scenario& scenario_;
    std::uint64_t limit_;
    std::size_t run_ = 0;
    std::uint64_t in_run_ = 0, taken_ = 0, position_ = 0;
    std::uint32_t current_frames_ = 0, frame_ = 0;
    bool silent_ = false;
    std::string pending_;
};

}  // namespace tamsel::test_engine
