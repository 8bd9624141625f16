#include "pulse_capture.hpp"

#include <cerrno>
#include <chrono>
#include <cstring>
#include <limits>
#include <utility>

#include "error_text.hpp"
#include "proc_parse.hpp"
#include "sink_input_filter.hpp"

namespace tamsel::host::linux_host {
namespace {

std::int64_t now_us() {
    return std::chrono::duration_cast<std::chrono::microseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

std::string pulse_error(std::string_view context, int error) {
    std::string text = pa_strerror(error) != nullptr ? pa_strerror(error) : "";
    text += " (PulseAudio error " + std::to_string(error) + ")";
    return join_context(context, text);
}

constexpr pa_sample_spec CAPTURE_SPEC{PA_SAMPLE_FLOAT32LE, CAPTURE_SAMPLE_RATE, CAPTURE_CHANNELS};
constexpr std::size_t FRAME_BYTES = sizeof(float) * CAPTURE_CHANNELS;

// A record stream's buffer: the server's defaults, fragments of `fragment_bytes`.
pa_buffer_attr record_attributes(std::size_t fragment_bytes) {
    pa_buffer_attr attributes{};
    attributes.maxlength = static_cast<std::uint32_t>(-1);
    attributes.tlength = static_cast<std::uint32_t>(-1);
    attributes.prebuf = static_cast<std::uint32_t>(-1);
    attributes.minreq = static_cast<std::uint32_t>(-1);
    attributes.fragsize = static_cast<std::uint32_t>(fragment_bytes);
    return attributes;
}

}  // namespace

struct PulseCaptureClient::ServerStream {
    PulseCaptureClient* owner = nullptr;
    std::uint32_t sink_input = NO_SINK;  // NO_SINK for an anchor
    std::uint32_t sink = NO_SINK;
    pa_stream* stream = nullptr;
    std::int64_t drain_until_us = 0;  // draining: its sink input ended (0: it has not)

    ~ServerStream() {
        if (stream == nullptr) return;
        pa_stream_set_read_callback(stream, nullptr, nullptr);
        pa_stream_set_overflow_callback(stream, nullptr, nullptr);
        pa_stream_set_state_callback(stream, nullptr, nullptr);
        if (PA_STREAM_IS_GOOD(pa_stream_get_state(stream))) (void)pa_stream_disconnect(stream);
        pa_stream_unref(stream);
    }
};

static_assert(NO_SINK == PA_INVALID_INDEX);

PulseCaptureClient::PulseCaptureClient(const LoopbackSelection& selection, ProcessApi& processes)
    : selection_(selection), processes_(processes) {}

Result<std::unique_ptr<PulseCaptureClient>> PulseCaptureClient::open(const LoopbackSelection& selection,
                                                                     ProcessApi& processes) {
    constexpr std::string_view CONTEXT = "connect to PulseAudio";
    std::unique_ptr<PulseCaptureClient> client(new PulseCaptureClient(selection, processes));
    client->mainloop_ = pa_mainloop_new();
    if (client->mainloop_ == nullptr) return fail(join_context(CONTEXT, "cannot create the main loop"));

    pa_proplist* properties = pa_proplist_new();
    pa_proplist_sets(properties, PA_PROP_APPLICATION_NAME, "tamsel audio host");
    pa_proplist_sets(properties, PA_PROP_APPLICATION_ID, "tamsel_audio_host");
    client->context_ = pa_context_new_with_proplist(pa_mainloop_get_api(client->mainloop_), "tamsel audio host", properties);
    pa_proplist_free(properties);
    if (client->context_ == nullptr) return fail(join_context(CONTEXT, "cannot create the context"));

    if (pa_context_connect(client->context_, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0) {
        return fail(pulse_error(CONTEXT, pa_context_errno(client->context_)));
    }
    const std::int64_t deadline = now_us() + std::int64_t{PULSE_CONNECT_TIMEOUT_MS} * 1000;
    for (;;) {
        const pa_context_state_t state = pa_context_get_state(client->context_);
        if (state == PA_CONTEXT_READY) break;
        if (!PA_CONTEXT_IS_GOOD(state)) return fail(pulse_error(CONTEXT, pa_context_errno(client->context_)));
        const std::int64_t left = deadline - now_us();
        if (left <= 0) return fail(pulse_error(CONTEXT, PA_ERR_TIMEOUT));
        if (!client->iterate(left)) return fail(join_context(CONTEXT, "main loop failed"));
    }
    pa_context_set_state_callback(client->context_, &PulseCaptureClient::on_context_state, client.get());
    return client;
}

PulseCaptureClient::~PulseCaptureClient() {
    stop();
    if (context_ != nullptr) pa_context_unref(context_);
    if (mainloop_ != nullptr) pa_mainloop_free(mainloop_);
}

bool PulseCaptureClient::iterate(std::int64_t timeout_us) {
    if (pa_mainloop_prepare(mainloop_, static_cast<int>(timeout_us)) < 0) return false;
    if (pa_mainloop_poll(mainloop_) < 0) {
        // A signal (the stop request) interrupts the poll; the caller looks at its flags.
        if (errno != EINTR) return false;
    }
    const bool dispatched = pa_mainloop_dispatch(mainloop_) >= 0;
    ended_.clear();
    return dispatched;
}

void PulseCaptureClient::set_failure(std::string text) {
    if (!failure_ && !stopping_) failure_ = std::move(text);
}

Status PulseCaptureClient::start() {
    constexpr std::string_view CONTEXT = "start process capture";
    if (started_) return ok();
    if (failure_) return fail(join_context(CONTEXT, *failure_));
    started_ = true;
    pa_context_set_subscribe_callback(context_, &PulseCaptureClient::on_subscription, this);
    const auto mask = static_cast<pa_subscription_mask_t>(PA_SUBSCRIPTION_MASK_SINK | PA_SUBSCRIPTION_MASK_SINK_INPUT);
    pa_operation* subscribed = pa_context_subscribe(context_, mask, nullptr, nullptr);
    if (subscribed == nullptr) return fail(pulse_error(CONTEXT, pa_context_errno(context_)));
    pa_operation_unref(subscribed);
    // The server answers in order: every sink (and its anchor) is known before the first sink
    // input is looked at.
    pa_operation* sinks = pa_context_get_sink_info_list(context_, &PulseCaptureClient::on_sink, this);
    if (sinks == nullptr) return fail(pulse_error(CONTEXT, pa_context_errno(context_)));
    pa_operation_unref(sinks);
    pa_operation* listed = pa_context_get_sink_input_info_list(context_, &PulseCaptureClient::on_sink_input, this);
    if (listed == nullptr) return fail(pulse_error(CONTEXT, pa_context_errno(context_)));
    pa_operation_unref(listed);
    return ok();
}

void PulseCaptureClient::stop() noexcept {
    if (stopping_) return;
    stopping_ = true;
    streams_.clear();
    draining_.clear();
    anchors_.clear();
    ended_.clear();
    if (context_ != nullptr) {
        pa_context_set_subscribe_callback(context_, nullptr, nullptr);
        pa_context_set_state_callback(context_, nullptr, nullptr);
        pa_context_disconnect(context_);
    }
}

void PulseCaptureClient::request_sink_input(std::uint32_t sink_input) {
    if (stopping_) return;
    pa_operation* operation =
        pa_context_get_sink_input_info(context_, sink_input, &PulseCaptureClient::on_sink_input, this);
    if (operation == nullptr) {
        set_failure(pulse_error("capture stream", pa_context_errno(context_)));
        return;
    }
    pa_operation_unref(operation);
}

void PulseCaptureClient::request_sink(std::uint32_t sink) {
    if (stopping_) return;
    pa_operation* operation = pa_context_get_sink_info_by_index(context_, sink, &PulseCaptureClient::on_sink, this);
    if (operation == nullptr) {
        set_failure(pulse_error("capture stream", pa_context_errno(context_)));
        return;
    }
    pa_operation_unref(operation);
}

void PulseCaptureClient::consider_sink_input(const pa_sink_input_info& info) {
    if (stopping_) return;
    if (selected_.count(info.index) == 0) {
        std::optional<std::uint32_t> player;
        if (const char* pid = pa_proplist_gets(info.proplist, PA_PROP_APPLICATION_PROCESS_ID)) {
            player = parse_pid_text(pid);
        }
        // The tree as it is now: a player started later by the target is its descendant by then.
        Result<ProcessTable> table = processes_.take_process_table();
        if (!table) {
            set_failure(table.error());
            return;
        }
        selected_[info.index] = sink_input_selected(selection_, player, *table);
    }
    apply_plan(info.index, info.sink);
    // A corked player is not rendered: its monitor stream delivers nothing until it plays again.
    if (streams_.count(info.index) != 0) mixer_.set_paused(info.index, info.corked != 0);
}

void PulseCaptureClient::apply_plan(std::uint32_t sink_input, std::uint32_t sink) {
    const auto monitored = streams_.find(sink_input);
    const std::optional<std::uint32_t> monitored_sink =
        monitored == streams_.end() ? std::nullopt : std::optional<std::uint32_t>(monitored->second->sink);
    const bool selected = selected_[sink_input];
    const bool ever_linked = linked_.count(sink_input) != 0;
    if (sink != NO_SINK) linked_.insert(sink_input);
    awaiting_sink_.erase(sink_input);
    switch (plan_monitor(selected, sink, monitored_sink, monitor_sources_.count(sink) != 0, ever_linked)) {
        case MonitorAction::Keep:
            // A monitor stream opened before its sink input was linked records from that sink now.
            if (monitored_sink == NO_SINK && sink != NO_SINK) monitored->second->sink = sink;
            break;
        case MonitorAction::OpenUnlinked: open_monitor_stream(sink_input, NO_SINK); break;
        case MonitorAction::Wait:
            // Its description was asked for when the sink's event came; ask again in case this
            // sink input came first.
            awaiting_sink_[sink_input] = sink;
            request_sink(sink);
            break;
        case MonitorAction::Open: open_monitor_stream(sink_input, sink); break;
        case MonitorAction::Reopen:
            end_stream(sink_input);
            open_monitor_stream(sink_input, sink);
            break;
        case MonitorAction::Close: end_stream(sink_input); break;
    }
}

void PulseCaptureClient::sink_described(const pa_sink_info& info) {
    if (stopping_ || info.monitor_source_name == nullptr) return;
    const auto known = monitor_sources_.find(info.index);
    if (known == monitor_sources_.end() || known->second != info.monitor_source_name) {
        monitor_sources_[info.index] = info.monitor_source_name;
        retire(anchors_, info.index);
        open_anchor(info.index, info.monitor_source_name);
    }
    for (auto it = awaiting_sink_.begin(); it != awaiting_sink_.end();) {
        if (it->second == info.index) {
            const std::uint32_t sink_input = it->first;
            it = awaiting_sink_.erase(it);
            apply_plan(sink_input, info.index);
        } else {
            ++it;
        }
    }
}

void PulseCaptureClient::retire(StreamMap& streams, std::uint32_t key) {
    const auto it = streams.find(key);
    if (it == streams.end()) return;
    ended_.push_back(std::move(it->second));
    streams.erase(it);
}

void PulseCaptureClient::sink_removed(std::uint32_t sink) {
    monitor_sources_.erase(sink);
    retire(anchors_, sink);
}

void PulseCaptureClient::open_monitor_stream(std::uint32_t sink_input, std::uint32_t sink) {
    constexpr std::string_view CONTEXT = "capture stream";
    pa_channel_map map;
    pa_channel_map_init_stereo(&map);
    pa_stream* stream = pa_stream_new(context_, "tamsel capture", &CAPTURE_SPEC, &map);
    if (stream == nullptr) {
        set_failure(pulse_error(CONTEXT, pa_context_errno(context_)));
        return;
    }
    auto monitor = std::make_unique<ServerStream>();
    monitor->owner = this;
    monitor->sink_input = sink_input;
    monitor->sink = sink;
    monitor->stream = stream;
    if (pa_stream_set_monitor_stream(stream, sink_input) < 0) {
        set_failure(pulse_error(CONTEXT, pa_context_errno(context_)));
        return;
    }
    pa_stream_set_read_callback(stream, &PulseCaptureClient::on_read, monitor.get());
    pa_stream_set_overflow_callback(stream, &PulseCaptureClient::on_overflow, monitor.get());
    pa_stream_set_state_callback(stream, &PulseCaptureClient::on_stream_state, monitor.get());

    const pa_buffer_attr attributes = record_attributes(PULSE_FRAGMENT_FRAMES * FRAME_BYTES);
    const auto flags = static_cast<pa_stream_flags_t>(PA_STREAM_ADJUST_LATENCY | PA_STREAM_DONT_MOVE);
    // Before the sink input is linked no source is named: the server records from the monitor
    // source of whichever sink the sink input is linked to.
    const char* source = sink == NO_SINK ? nullptr : monitor_sources_[sink].c_str();
    if (pa_stream_connect_record(stream, source, &attributes, flags) < 0) {
        set_failure(pulse_error(CONTEXT, pa_context_errno(context_)));
        return;
    }
    end_drain(sink_input);  // the index is taken again: the old stream's frames go first
    mixer_.add_stream(sink_input);
    streams_[sink_input] = std::move(monitor);
}

void PulseCaptureClient::open_anchor(std::uint32_t sink, const char* monitor_source) {
    // One float peak per fragment at ANCHOR_PEAKS_PER_SECOND: the fragment's length is the
    // latency the monitor source (and with it the sink) is asked for.
    const pa_sample_spec peaks_format{PA_SAMPLE_FLOAT32LE, ANCHOR_PEAKS_PER_SECOND, 1};
    pa_stream* stream = pa_stream_new(context_, "tamsel latency anchor", &peaks_format, nullptr);
    if (stream == nullptr) return;
    auto anchor = std::make_unique<ServerStream>();
    anchor->owner = this;
    anchor->sink = sink;
    anchor->stream = stream;
    pa_stream_set_read_callback(stream, &PulseCaptureClient::on_anchor_read, anchor.get());
    pa_stream_set_state_callback(stream, &PulseCaptureClient::on_anchor_state, anchor.get());
    const pa_buffer_attr attributes = record_attributes(sizeof(float));
    // Corked from the start: the server keeps the latency it asks for while nothing crosses the
    // socket, so the anchor never wakes this process.
    const auto flags = static_cast<pa_stream_flags_t>(PA_STREAM_PEAK_DETECT | PA_STREAM_ADJUST_LATENCY |
                                                      PA_STREAM_DONT_MOVE | PA_STREAM_DONT_INHIBIT_AUTO_SUSPEND |
                                                      PA_STREAM_START_CORKED);
    if (pa_stream_connect_record(stream, monitor_source, &attributes, flags) < 0) return;
    anchors_[sink] = std::move(anchor);
}

void PulseCaptureClient::end_stream(std::uint32_t sink_input) {
    mixer_.remove_stream(sink_input);
    retire(streams_, sink_input);
}

void PulseCaptureClient::drain_stream(std::uint32_t sink_input) {
    const auto it = streams_.find(sink_input);
    if (it == streams_.end()) return;
    end_drain(sink_input);  // an earlier stream under this index
    mixer_.finish_stream(sink_input);
    it->second->drain_until_us = now_us() + PULSE_DRAIN_US;
    draining_[sink_input] = std::move(it->second);
    streams_.erase(it);
}

void PulseCaptureClient::end_drain(std::uint32_t sink_input) {
    if (draining_.count(sink_input) == 0) return;
    mixer_.remove_stream(sink_input);
    retire(draining_, sink_input);
}

void PulseCaptureClient::end_drains_due(std::int64_t now) {
    std::vector<std::uint32_t> due;
    for (const auto& [sink_input, monitor] : draining_) {
        if (now >= monitor->drain_until_us) due.push_back(sink_input);
    }
    for (const std::uint32_t sink_input : due) end_drain(sink_input);
}

void PulseCaptureClient::forget_sink_input(std::uint32_t sink_input) {
    // The removal and the last record data of its monitor stream come apart; what the server
    // still sends before it ends the monitor stream is the stream's end.
    drain_stream(sink_input);
    awaiting_sink_.erase(sink_input);
    selected_.erase(sink_input);
    linked_.erase(sink_input);
}

void PulseCaptureClient::on_context_state(pa_context* context, void* raw) {
    auto* self = static_cast<PulseCaptureClient*>(raw);
    if (!PA_CONTEXT_IS_GOOD(pa_context_get_state(context))) {
        self->set_failure(pulse_error("PulseAudio connection", pa_context_errno(context)));
    }
}

void PulseCaptureClient::on_subscription(pa_context*, pa_subscription_event_type_t type, std::uint32_t index,
                                         void* raw) {
    auto* self = static_cast<PulseCaptureClient*>(raw);
    const auto facility = type & PA_SUBSCRIPTION_EVENT_FACILITY_MASK;
    const bool removed = (type & PA_SUBSCRIPTION_EVENT_TYPE_MASK) == PA_SUBSCRIPTION_EVENT_REMOVE;
    // New and changed alike: a sink input is linked, moved or relinked by change events.
    if (facility == PA_SUBSCRIPTION_EVENT_SINK_INPUT) {
        if (removed) {
            self->forget_sink_input(index);
        } else {
            self->request_sink_input(index);
        }
    } else if (facility == PA_SUBSCRIPTION_EVENT_SINK) {
        if (removed) {
            self->sink_removed(index);
        } else if (self->monitor_sources_.count(index) == 0) {
            self->request_sink(index);
        }
    }
}

void PulseCaptureClient::on_sink_input(pa_context*, const pa_sink_input_info* info, int eol, void* raw) {
    // eol < 0: the sink input went away before its description came; nothing to capture.
    if (eol != 0 || info == nullptr) return;
    static_cast<PulseCaptureClient*>(raw)->consider_sink_input(*info);
}

void PulseCaptureClient::on_sink(pa_context*, const pa_sink_info* info, int eol, void* raw) {
    if (eol != 0 || info == nullptr) return;
    static_cast<PulseCaptureClient*>(raw)->sink_described(*info);
}

void PulseCaptureClient::on_read(pa_stream* stream, std::size_t, void* raw) {
    auto* monitor = static_cast<ServerStream*>(raw);
    PulseCaptureClient* self = monitor->owner;
    while (pa_stream_readable_size(stream) > 0) {
        const void* data = nullptr;
        std::size_t bytes = 0;
        if (pa_stream_peek(stream, &data, &bytes) < 0) {
            self->set_failure(pulse_error("capture stream", pa_context_errno(self->context_)));
            return;
        }
        if (data == nullptr && bytes == 0) break;  // nothing queued after all
        const std::size_t frames = bytes / FRAME_BYTES;
        const std::int64_t now = now_us();
        if (data == nullptr) {
            self->mixer_.push_gap(monitor->sink_input, frames, now);  // a hole the server reports
        } else {
            self->mixer_.push(monitor->sink_input, static_cast<const float*>(data), frames, now);
        }
        (void)pa_stream_drop(stream);
    }
}

void PulseCaptureClient::on_anchor_read(pa_stream* stream, std::size_t, void*) {
    // The peaks are not used; reading them keeps the stream's buffer empty.
    while (pa_stream_readable_size(stream) > 0) {
        const void* data = nullptr;
        std::size_t bytes = 0;
        if (pa_stream_peek(stream, &data, &bytes) < 0 || (data == nullptr && bytes == 0)) return;
        (void)pa_stream_drop(stream);
    }
}

void PulseCaptureClient::on_overflow(pa_stream*, void* raw) {
    static_cast<ServerStream*>(raw)->owner->mixer_.mark_discontinuity();
}

void PulseCaptureClient::on_stream_state(pa_stream* stream, void* raw) {
    auto* monitor = static_cast<ServerStream*>(raw);
    PulseCaptureClient* self = monitor->owner;
    const pa_stream_state_t state = pa_stream_get_state(stream);
    if (PA_STREAM_IS_GOOD(state)) return;
    const std::uint32_t sink_input = monitor->sink_input;
    if (monitor->drain_until_us != 0) {
        self->end_drain(sink_input);  // all of it has come
        return;
    }
    const int error = pa_context_errno(self->context_);
    self->end_stream(sink_input);  // `monitor` is freed after this callback has returned
    if (state == PA_STREAM_FAILED && error != PA_ERR_KILLED && error != PA_ERR_NOENTITY) {
        self->set_failure(pulse_error("capture stream", error));
        return;
    }
    // The server ends a monitor stream when its sink input ends or moves to another sink; a
    // sink input that still exists is monitored again.
    self->request_sink_input(sink_input);
}

void PulseCaptureClient::on_anchor_state(pa_stream* stream, void* raw) {
    auto* anchor = static_cast<ServerStream*>(raw);
    if (PA_STREAM_IS_GOOD(pa_stream_get_state(stream))) return;
    // Its sink went away (or refused it): the anchor goes, the capture goes on.
    PulseCaptureClient* self = anchor->owner;
    const auto it = self->anchors_.find(anchor->sink);
    if (it != self->anchors_.end() && it->second.get() == anchor) self->retire(self->anchors_, anchor->sink);
}

std::size_t PulseCaptureClient::room() const noexcept {
    return room_ != nullptr ? room_->room_frames() : std::numeric_limits<std::size_t>::max();
}

WaitOutcome PulseCaptureClient::wait_for_packet(std::uint32_t timeout_ms) {
    const std::int64_t deadline = now_us() + std::int64_t{timeout_ms} * 1000;
    for (;;) {
        const std::int64_t now = now_us();
        if (failure_) return WaitOutcome::Signalled;
        end_drains_due(now);
        const bool due = mixer_.ready_frames(now, PULSE_PACKET_FRAMES) > 0;
        if (due && room() > 0) return WaitOutcome::Signalled;
        if (now >= deadline || stopping_) return WaitOutcome::Timeout;
        std::int64_t step = deadline - now;
        if (due) {
            // The queue is full: the worker frees room while the main loop takes what the
            // server sends meanwhile.
            step = std::min(step, PULSE_ROOM_POLL_US);
        } else if (mixer_.has_queued()) {
            // Unmixed frames become due by time alone (a lagging stream): look again soon.
            step = std::min<std::int64_t>(step, 5000);
        }
        if (!iterate(step)) return WaitOutcome::Failed;
    }
}

Result<std::uint32_t> PulseCaptureClient::next_packet_size() {
    if (failure_) return fail(*failure_);
    // No more than the queue takes now; 0 (a full queue) ends the drain, and the next wait waits
    // for room.
    const std::size_t limit = std::min<std::size_t>(PULSE_PACKET_FRAMES, room());
    pending_frames_ = static_cast<std::uint32_t>(mixer_.ready_frames(now_us(), limit));
    return pending_frames_;
}

Result<CapturePacket> PulseCaptureClient::get_buffer() {
    CapturePacket packet;
    const bool gap = mixer_.take(pending_frames_, packet_);
    packet.data = packet_.data();
    packet.frames = pending_frames_;
    packet.flags = gap ? PACKET_FLAG_DISCONTINUITY : 0u;
    return packet;
}

Status PulseCaptureClient::release_buffer(std::uint32_t frames) {
    if (frames != pending_frames_) return fail("release capture packet: packet size mismatch");
    pending_frames_ = 0;
    return ok();
}

}  // namespace tamsel::host::linux_host
