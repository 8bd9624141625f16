#include "stream_mixer.hpp"

#include <algorithm>
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

void StreamMixer::append(Stream& stream, const float* samples, std::size_t frames, std::int64_t now_us) {
    if (frames == 0) return;
    stream.delivered = true;
    if (stream.debt > 0) {
        // Frames of a stretch already mixed without them (as silence): the mix stays continuous.
        const std::size_t late = std::min(stream.debt, frames);
        stream.debt -= late;
        frames -= late;
        if (samples != nullptr) samples += late * MIX_CHANNELS;
        if (frames == 0) return;
    }
    stream.received += frames;
    stream.arrivals.emplace_back(stream.received, now_us);
    const std::size_t old_size = stream.samples.size();
    stream.samples.resize(old_size + frames * MIX_CHANNELS);
    if (samples != nullptr) {
        // The server's buffer is bytes; copying never relies on its alignment.
        std::memcpy(stream.samples.data() + old_size, samples, frames * MIX_CHANNELS * sizeof(float));
    } else {
        std::fill(stream.samples.begin() + static_cast<std::ptrdiff_t>(old_size), stream.samples.end(), 0.0f);
    }
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
