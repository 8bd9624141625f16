#include "stream_mixer.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>

namespace tamsel::host::linux_host {

void StreamMixer::add_stream(std::uint32_t id) {
    Stream& stream = streams_[id];
    stream.ending = false;
}

void StreamMixer::remove_stream(std::uint32_t id) {
    const auto it = streams_.find(id);
    if (it == streams_.end()) return;
    if (it->second.frames() == 0) {
        streams_.erase(it);
    } else {
        it->second.ending = true;
    }
}

void StreamMixer::set_paused(std::uint32_t id, bool paused) {
    const auto it = streams_.find(id);
    if (it == streams_.end() || it->second.paused == paused) return;
    it->second.paused = paused;
    it->second.delivered = false;
    it->second.debt = 0;
}

namespace {

bool silent_frame(const float* frame) {
    for (std::size_t c = 0; c < MIX_CHANNELS; ++c) {
        if (std::fabs(frame[c]) > SILENT_LEVEL) return false;
    }
    return true;
}

// Leaves out silence of `frames` interleaved frames (compacted in place) while `debt` lasts:
// from each run of at least SILENT_RUN_FRAMES silent frames, as much as is owed. Sound is kept
// whole. Returns the frames kept.
std::size_t drop_owed_silence(float* data, std::size_t frames, std::size_t& debt) {
    std::size_t kept = 0;
    std::size_t read = 0;
    while (read < frames) {
        std::size_t run = 0;
        while (read + run < frames && silent_frame(data + (read + run) * MIX_CHANNELS)) ++run;
        std::size_t dropped = 0;
        if (run >= SILENT_RUN_FRAMES) {
            dropped = std::min(run, debt);
            debt -= dropped;
        }
        // The rest of the run and the sound frame after it move up to the kept ones.
        const std::size_t end = std::min(frames, read + run + 1);
        const std::size_t moved = end - read - dropped;
        if (kept != read + dropped) {
            std::memmove(data + kept * MIX_CHANNELS, data + (read + dropped) * MIX_CHANNELS,
                         moved * MIX_CHANNELS * sizeof(float));
        }
        kept += moved;
        read = end;
    }
    return kept;
}

}  // namespace

void StreamMixer::append(Stream& stream, const float* samples, std::size_t frames, std::int64_t now_us) {
    if (frames == 0) return;
    stream.delivered = true;
    const std::size_t old_size = stream.samples.size();
    stream.samples.resize(old_size + frames * MIX_CHANNELS);
    float* added = stream.samples.data() + old_size;
    if (samples != nullptr) {
        // The server's buffer is bytes; copying never relies on its alignment.
        std::memcpy(added, samples, frames * MIX_CHANNELS * sizeof(float));
    } else {
        std::fill(added, added + frames * MIX_CHANNELS, 0.0f);
    }
    if (stream.debt > 0) {
        // A stretch was mixed without this stream (as silence): it catches up in its silence.
        frames = drop_owed_silence(added, frames, stream.debt);
        stream.samples.resize(old_size + frames * MIX_CHANNELS);
        if (frames == 0) return;
    }
    stream.received += frames;
    stream.arrivals.emplace_back(stream.received, now_us);
    if (stream.frames() > MAX_QUEUED_FRAMES) {
        consume(stream, stream.frames() - MAX_QUEUED_FRAMES);
        discontinuity_ = true;
        compact(stream);
    }
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

std::size_t StreamMixer::ready_frames(std::int64_t now_us, std::size_t max_frames) const {
    std::size_t live_min = std::numeric_limits<std::size_t>::max();
    std::size_t most = 0;
    bool any_live = false;
    std::int64_t oldest = std::numeric_limits<std::int64_t>::max();
    for (const auto& [id, stream] : streams_) {
        const std::size_t frames = stream.frames();
        most = std::max(most, frames);
        if (frames > 0) oldest = std::min(oldest, stream.waiting_since());
        if (stream.holds_back()) {
            any_live = true;
            live_min = std::min(live_min, frames);
        }
    }
    if (most == 0) return 0;
    std::size_t due = 0;
    if (!any_live) {
        due = most;  // only ending streams: nothing to wait for
    } else if (live_min > 0) {
        due = live_min;
    } else if (now_us - oldest >= MIX_WAIT_US) {
        due = most;  // a live stream lags beyond the bound: it counts as silent
    }
    return std::min(due, max_frames);
}

bool StreamMixer::take(std::size_t frames, std::vector<float>& out) {
    out.assign(frames * MIX_CHANNELS, 0.0f);
    for (auto it = streams_.begin(); it != streams_.end();) {
        Stream& stream = it->second;
        const std::size_t used = std::min(frames, stream.frames());
        if (used < frames && stream.holds_back() && stream.delivered) {
            stream.debt = std::min(stream.debt + (frames - used), MAX_DEBT_FRAMES);
        }
        const float* source = stream.samples.data() + stream.head;
        for (std::size_t i = 0; i < used * MIX_CHANNELS; ++i) out[i] += source[i];
        consume(stream, used);
        if (stream.frames() == 0) {
            stream.samples.clear();
            stream.head = 0;
            if (stream.ending) {
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
