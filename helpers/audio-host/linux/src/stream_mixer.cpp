#include "stream_mixer.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>

namespace tamsel::host::linux_host {

void StreamMixer::add_stream(std::uint32_t id) {
    Stream& stream = streams_[id];
    if (!stream.ending) return;
    // Back again (a stream reopened under the same id): it starts afresh, after what it still holds.
    stream.ending = false;
    stream.removed = false;
    stream.delivered = false;
    stream.late = 0;
    stream.steady_since_us = -1;
}

void StreamMixer::finish_stream(std::uint32_t id) {
    const auto it = streams_.find(id);
    if (it != streams_.end()) it->second.ending = true;
}

void StreamMixer::remove_stream(std::uint32_t id) {
    const auto it = streams_.find(id);
    if (it == streams_.end()) return;
    if (it->second.frames() == 0) {
        streams_.erase(it);
    } else {
        it->second.ending = true;
        it->second.removed = true;
    }
}

void StreamMixer::set_paused(std::uint32_t id, bool paused) {
    const auto it = streams_.find(id);
    if (it == streams_.end() || it->second.paused == paused) return;
    it->second.paused = paused;
    it->second.delivered = false;
    it->second.late = 0;
    it->second.steady_since_us = -1;
}

namespace {

bool silent(const float* samples, std::size_t frames) {
    return std::all_of(samples, samples + frames * MIX_CHANNELS,
                       [](float sample) { return std::fabs(sample) <= SILENCE_LEVEL; });
}

}  // namespace

void StreamMixer::append(Stream& stream, const float* samples, std::size_t frames, std::int64_t now_us) {
    if (frames == 0) return;
    stream.delivered = true;
    const std::uint64_t received_before = stream.received;
    const bool was_behind = stream.late > 0 && stream.current() == 0;
    if (stream.late == 0) {
        queue(stream, samples, frames);
    } else if (samples == nullptr) {
        // A silent stretch: the late stream makes up what it can of it.
        const std::size_t skipped = std::min(stream.late, frames);
        stream.late -= skipped;
        queue(stream, nullptr, frames - skipped);
    } else {
        // While the stream is late, every other silent millisecond of a pause is dropped, up to
        // MAX_PAUSE_CUT_FRAMES of one pause; everything else is kept.
        std::size_t run = 0;  // frames from `samples` not queued yet
        for (std::size_t at = 0; at < frames; at += SILENT_RUN_FRAMES) {
            const std::size_t length = std::min(SILENT_RUN_FRAMES, frames - at);
            if (length < SILENT_RUN_FRAMES || !silent(samples + at * MIX_CHANNELS, length)) {
                if (length == SILENT_RUN_FRAMES) stream.pause = Pause{};
                run += length;
                continue;
            }
            stream.pause.heard += length;
            if (stream.late == 0 || 2 * (stream.pause.cut + length) > stream.pause.heard ||
                stream.pause.cut + length > MAX_PAUSE_CUT_FRAMES) {
                run += length;
                continue;
            }
            queue(stream, samples + (at - run) * MIX_CHANNELS, run);
            run = 0;
            const std::size_t skipped = std::min(stream.late, length);
            stream.late -= skipped;
            stream.pause.cut += skipped;
            queue(stream, samples + (at + skipped) * MIX_CHANNELS, length - skipped);
        }
        queue(stream, samples + (frames - run) * MIX_CHANNELS, run);
    }
    if (stream.received == received_before) return;
    stream.arrivals.emplace_back(stream.received, now_us);
    const bool at_pace = now_us - stream.last_arrival_us <= STEADY_GAP_US;
    stream.last_arrival_us = now_us;
    if (was_behind && stream.current() > 0) {
        // Its late frames came all at once: a burst. Wait for it longer next time.
        const auto late_us = static_cast<std::int64_t>(stream.late) * 1000000 / MIX_RATE;
        stream.wait_us = std::min(MAX_WAIT_US, stream.wait_us + late_us);
    }
    if (stream.late == 0 || stream.current() > 0) {
        stream.steady_since_us = -1;
    } else if (stream.steady_since_us < 0 || !at_pace) {
        stream.steady_since_us = now_us;
    } else if (now_us - stream.steady_since_us >= STEADY_LET_OFF_US) {
        // Back at its pace and still behind: the rest of its lateness is not coming.
        stream.late = 0;
        stream.steady_since_us = -1;
    }
    if (stream.frames() > MAX_QUEUED_FRAMES) {
        const std::size_t lost = stream.frames() - MAX_QUEUED_FRAMES;
        consume(stream, lost);
        stream.late -= std::min(stream.late, lost);
        discontinuity_ = true;
        compact(stream);
    }
}

void StreamMixer::queue(Stream& stream, const float* samples, std::size_t frames) {
    if (frames == 0) return;
    stream.received += frames;
    const std::size_t old_size = stream.samples.size();
    stream.samples.resize(old_size + frames * MIX_CHANNELS);
    if (samples != nullptr) {
        // The server's buffer is bytes; copying never relies on its alignment.
        std::memcpy(stream.samples.data() + old_size, samples, frames * MIX_CHANNELS * sizeof(float));
    } else {
        std::fill(stream.samples.begin() + static_cast<std::ptrdiff_t>(old_size), stream.samples.end(), 0.0f);
    }
}

std::int64_t StreamMixer::Stream::current_since() const {
    // The delivery that holds frame number consumed + late (counted from 0 since it joined).
    const std::uint64_t first_current = consumed + late;
    for (const auto& [received_after, at] : arrivals) {
        if (received_after > first_current) return at;
    }
    return arrivals.back().second;
}

void StreamMixer::consume(Stream& stream, std::size_t frames) {
    stream.head += frames * MIX_CHANNELS;
    stream.consumed += frames;
    while (!stream.arrivals.empty() && stream.arrivals.front().first <= stream.consumed) stream.arrivals.pop_front();
}

void StreamMixer::compact(Stream& stream) {
    if (stream.head == 0) return;
    if (stream.head >= stream.samples.size()) {
        stream.samples.clear();
    } else {
        stream.samples.erase(stream.samples.begin(), stream.samples.begin() + static_cast<std::ptrdiff_t>(stream.head));
    }
    stream.head = 0;
}

void StreamMixer::push(std::uint32_t id, const float* samples, std::size_t frames, std::int64_t now_us) {
    const auto it = streams_.find(id);
    if (it == streams_.end() || samples == nullptr) return;
    append(it->second, samples, frames, now_us);
}

void StreamMixer::push_gap(std::uint32_t id, std::size_t frames, std::int64_t now_us) {
    const auto it = streams_.find(id);
    if (it == streams_.end()) return;
    // Silence of the hole's length keeps the timeline continuous; only what is cut off skips.
    if (frames > MAX_GAP_FRAMES) discontinuity_ = true;
    append(it->second, nullptr, std::min(frames, MAX_GAP_FRAMES), now_us);
}

std::size_t StreamMixer::ready_frames(std::int64_t now_us, std::size_t max_frames) {
    now_us_ = now_us;
    std::size_t live_min = std::numeric_limits<std::size_t>::max();
    std::size_t most_current = 0;
    std::size_t most = 0;
    bool any_live = false;
    std::int64_t oldest_current = std::numeric_limits<std::int64_t>::max();
    std::int64_t oldest = std::numeric_limits<std::int64_t>::max();
    // When the mix stops waiting for the lagging streams: each is waited for its bound from its
    // last delivery (one that never delivered, from the oldest current frame), and no current
    // frame waits longer than MAX_WAIT_US.
    std::int64_t wait_until = std::numeric_limits<std::int64_t>::min();
    bool never_delivered = false;
    for (const auto& [id, stream] : streams_) {
        const std::size_t current = stream.current();
        most = std::max(most, stream.frames());
        most_current = std::max(most_current, current);
        if (current > 0) oldest_current = std::min(oldest_current, stream.current_since());
        if (stream.frames() > 0) oldest = std::min(oldest, stream.arrivals.front().second);
        if (stream.holds_back()) {
            any_live = true;
            live_min = std::min(live_min, current);
            if (current == 0 && stream.delivered) {
                wait_until = std::max(wait_until, stream.last_arrival_us + stream.wait_us);
            } else if (current == 0) {
                never_delivered = true;
            }
        }
    }
    if (!any_live) return std::min(most, max_frames);  // only ending streams: nothing to wait for
    if (live_min > 0) return std::min(live_min, max_frames);
    if (most_current > 0) {
        // A live stream lags: after its wait it counts as silent.
        if (never_delivered) wait_until = std::max(wait_until, oldest_current + MIX_WAIT_US);
        const std::int64_t due_at = std::min(wait_until, oldest_current + MAX_WAIT_US);
        return now_us >= due_at ? std::min(most_current, max_frames) : 0;
    }
    if (most > 0 && now_us - oldest >= MIX_WAIT_US && now_us - advanced_at_us_ >= MIX_WAIT_US) {
        // Only late frames are queued, behind a mix that has stood still for the wait: they are
        // let off the time it has stood still since it last advanced or last let them off.
        const std::int64_t since = std::max(advanced_at_us_, let_off_at_us_);
        const auto still = static_cast<std::size_t>((now_us - since) * MIX_RATE / 1000000);
        let_off_at_us_ = now_us;
        std::size_t due = 0;
        for (auto& entry : streams_) {
            entry.second.late -= std::min(entry.second.late, still);
            due = std::max(due, entry.second.current());
        }
        return std::min(due, max_frames);
    }
    return 0;
}

bool StreamMixer::take(std::size_t frames, std::vector<float>& out) {
    out.assign(frames * MIX_CHANNELS, 0.0f);
    advanced_at_us_ = now_us_;
    for (auto it = streams_.begin(); it != streams_.end();) {
        Stream& stream = it->second;
        const std::size_t used = std::min(frames, stream.frames());
        if (used < frames && stream.holds_back() && stream.delivered) {
            stream.late = std::min(stream.late + (frames - used), MAX_LATE_FRAMES);
        }
        const float* source = stream.samples.data() + stream.head;
        for (std::size_t i = 0; i < used * MIX_CHANNELS; ++i) out[i] += source[i];
        consume(stream, used);
        if (stream.frames() == 0) {
            stream.samples.clear();
            stream.head = 0;
            if (stream.removed) {
                it = streams_.erase(it);
                continue;
            }
        } else if (stream.head >= stream.samples.size() / 2) {
            compact(stream);
        }
        ++it;
    }
    const bool gap = discontinuity_;
    discontinuity_ = false;
    return gap;
}

bool StreamMixer::has_queued() const {
    return std::any_of(streams_.begin(), streams_.end(), [](const auto& entry) { return entry.second.frames() > 0; });
}

std::size_t StreamMixer::live_streams() const {
    return static_cast<std::size_t>(
        std::count_if(streams_.begin(), streams_.end(), [](const auto& entry) { return entry.second.holds_back(); }));
}

std::size_t StreamMixer::queued_frames(std::uint32_t id) const {
    const auto it = streams_.find(id);
    return it == streams_.end() ? 0 : it->second.frames();
}

}  // namespace tamsel::host::linux_host
