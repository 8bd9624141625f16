#pragma once
// Test doubles for the packet loop and the capture run: a capture client that plays a script of
// wakes and packets, a process whose liveness the test controls, and a sink that records what
// reached it. Every double writes into one shared call log, so a test compares the whole
// interleaving of client, sink and run calls with one expected list.

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "capture_source.hpp"
#include "packet_loop.hpp"
#include "process_api.hpp"

namespace tamsel::host::testing {

using CallLog = std::vector<std::string>;

enum class PacketData { Audible, Null, Misaligned };

struct ScriptedPacket {
    std::uint32_t frames = 0;
    std::uint32_t flags = 0;
    PacketData data = PacketData::Audible;
};

// One return of wait_for_packet. On Signalled the packets become pending (behind any left over).
struct Wake {
    WaitOutcome outcome = WaitOutcome::Signalled;
    std::vector<ScriptedPacket> packets;
    std::function<void()> action;  // runs inside the wait, before it returns (flip a flag, end a process)
};

class ScriptedProcess final : public ProcessHandle {
public:
    ScriptedProcess(std::string name, CallLog* log, std::shared_ptr<std::atomic<bool>> running)
        : name_(std::move(name)), log_(log), running_(std::move(running)) {}
    ~ScriptedProcess() override {
        if (log_) log_->push_back("close " + name_);
    }
    bool is_running() const override { return running_->load(); }

private:
    std::string name_;
    CallLog* log_;
    std::shared_ptr<std::atomic<bool>> running_;
};

class ScriptedClient final : public CaptureClient {
public:
    ScriptedClient(CallLog& log, std::deque<Wake> wakes, std::atomic<bool>* stop_when_done,
                   std::uint32_t buffer_frames = 1056)
        : log_(log), wakes_(std::move(wakes)), stop_when_done_(stop_when_done), buffer_frames_(buffer_frames) {
        storage_.resize(2 * std::size_t{buffer_frames_} * CAPTURE_CHANNELS + 8, 0.25f);
    }
    ~ScriptedClient() override { log_.push_back("client destroyed"); }

    // Errors to return instead of the n-th (0-based) call of that kind.
    std::optional<std::pair<int, std::string>> fail_size, fail_get, fail_release;
    Status start_result = ok();

    WaitOutcome wait_for_packet(std::uint32_t timeout_ms) override {
        log_.push_back("wait " + std::to_string(timeout_ms));
        if (wakes_.empty()) {
            // The script is over: ask the loop to stop so a test can never spin forever.
            if (stop_when_done_) stop_when_done_->store(true);
            return WaitOutcome::Timeout;
        }
        Wake wake = std::move(wakes_.front());
        wakes_.pop_front();
        if (wake.action) wake.action();
        if (wake.outcome == WaitOutcome::Signalled) {
            for (const ScriptedPacket& p : wake.packets) pending_.push_back(p);
        }
        return wake.outcome;
    }

    Result<std::uint32_t> next_packet_size() override {
        log_.push_back("size");
        if (fails(fail_size, size_calls_++)) return fail(fail_size->second);
        // An engine may announce a packet and then hand out 0 frames: announce those as 1.
        return pending_.empty() ? 0u : std::max<std::uint32_t>(pending_.front().frames, 1u);
    }

    Result<CapturePacket> get_buffer() override {
        log_.push_back("get");
        if (fails(fail_get, get_calls_++)) return fail(fail_get->second);
        const ScriptedPacket p = pending_.front();
        pending_.pop_front();
        CapturePacket packet{nullptr, p.frames, p.flags};
        // Alternate between two regions so consecutive packets have distinct pointers.
        const float* base = storage_.data() + (packets_handed_++ % 2) * (storage_.size() / 2);
        switch (p.data) {
            case PacketData::Audible: packet.data = base; break;
            case PacketData::Null: packet.data = nullptr; break;
            case PacketData::Misaligned:
                packet.data = reinterpret_cast<const unsigned char*>(base) + 2;
                break;
        }
        current_data_ = packet.data;
        return packet;
    }

    Status release_buffer(std::uint32_t frames) override {
        log_.push_back("release " + std::to_string(frames));
        current_data_ = nullptr;
        if (fails(fail_release, release_calls_++)) return fail(fail_release->second);
        return ok();
    }

    std::uint32_t buffer_frames() const override { return buffer_frames_; }

    Status start() override {
        log_.push_back("client start");
        return start_result;
    }
    void stop() noexcept override { log_.push_back("client stop"); }

    const void* current_data() const { return current_data_; }
    std::size_t pending() const { return pending_.size(); }

private:
    static bool fails(const std::optional<std::pair<int, std::string>>& rule, int call) {
        return rule && rule->first == call;
    }

    CallLog& log_;
    std::deque<Wake> wakes_;
    std::atomic<bool>* stop_when_done_;
    std::uint32_t buffer_frames_;
    std::vector<float> storage_;
    std::deque<ScriptedPacket> pending_;
    const void* current_data_ = nullptr;
    std::size_t packets_handed_ = 0;
    int size_calls_ = 0, get_calls_ = 0, release_calls_ = 0;
};

// Logs "push packet N" when the samples are the current packet's own buffer (no copy),
// "push silence N" when they come from the silence buffer, "push other N" otherwise.
class RecordingSink {
public:
    RecordingSink(CallLog& log, const ScriptedClient& client, const SilenceBuffer& silence)
        : log_(&log), client_(&client), silence_(&silence) {}

    std::size_t push_samples(const float* samples, std::size_t count) noexcept {
        const char* origin = "other";
        if (samples == silence_->data()) {
            origin = "silence";
        } else if (samples == client_->current_data()) {
            origin = "packet";
        }
        log_->push_back(std::string("push ") + origin + " " + std::to_string(count));
        return count / CAPTURE_CHANNELS;
    }
    void mark_discontinuity() noexcept { log_->push_back("discontinuity"); }

private:
    CallLog* log_;
    const ScriptedClient* client_;
    const SilenceBuffer* silence_;
};

}  // namespace tamsel::host::testing
