#pragma once
// The capture run over any capture worker type. run_capture (capture_run.cpp) instantiates it
// with the real tamsel::capture::CaptureWorker; tests instantiate it with a recording worker to
// see the take-down order. Include only from capture_run.cpp and tests.
//
// A Worker offers push_samples(const float*, size_t), mark_discontinuity(), queue_room_frames(),
// release_producer(), stop() and failure() (null, or why the worker thread ended early); StartWorker is callable as
//   Result<Worker>(std::uint16_t channels, std::uint32_t rate, std::size_t capacity,
//                  tamsel::capture::OutputFailedFlag output_failed).

#include <atomic>
#include <memory>
#include <optional>
#include <utility>

#include "capture_run.hpp"
#include "events.hpp"
#include "packet_loop.hpp"
#include "process_model.hpp"
#include "tamsel/audio/capture.hpp"

namespace tamsel::host {

inline constexpr std::size_t CAPTURE_QUEUE_CAPACITY = 32;

namespace detail {

// The worker's free queue room, as the capture source sees it.
template <class Worker>
class WorkerRoom final : public PacketRoom {
public:
    explicit WorkerRoom(const Worker& worker) noexcept : worker_(worker) {}
    std::size_t room_frames() const noexcept override { return worker_.queue_room_frames(); }

private:
    const Worker& worker_;
};

// Everything the run creates, released in the fixed take-down order whatever step it reached.
template <class Worker>
class CaptureRunResources {
public:
    explicit CaptureRunResources(CaptureRunPlatform& platform) : platform_(platform) {}
    CaptureRunResources(const CaptureRunResources&) = delete;
    CaptureRunResources& operator=(const CaptureRunResources&) = delete;
    ~CaptureRunResources() { take_down(); }

    void take_down() noexcept {
        if (client) {
            client->set_packet_room(nullptr);
            client->stop();
        }
        if (worker) {
            worker->release_producer();
            worker->stop();
            room.reset();
            worker.reset();
        }
        output_failed.reset();
        client.reset();
        if (in_apartment) {
            in_apartment = false;
            platform_.leave_apartment();
        }
        target.reset();
        translator.reset();
    }

    std::optional<ProcessIdentity> translator;
    std::optional<ProcessIdentity> target;
    bool in_apartment = false;
    std::unique_ptr<CaptureClient> client;
    capture::OutputFailedFlag output_failed;
    std::optional<Worker> worker;
    std::optional<WorkerRoom<Worker>> room;

private:
    CaptureRunPlatform& platform_;
};

}  // namespace detail

template <class Worker, class StartWorker>
Status run_capture_with(const CaptureRequest& request, CaptureRunPlatform& platform, StartWorker&& start_worker) {
    detail::CaptureRunResources<Worker> run(platform);

    // 1. Who is who, and may this capture happen at all.
    {
        Result<ValidatedTarget> validated = validate_target(request, platform.processes());
        if (!validated) return validated.error_result();
        run.translator.emplace(std::move(validated->translator));
        if (validated->target) run.target.emplace(std::move(*validated->target));
    }

    // 2. The apartment the audio interfaces live in.
    if (Status entered = platform.enter_apartment(); !entered) return entered;
    run.in_apartment = true;

    // 3. The loopback stream, initialised but not started.
    {
        Result<std::unique_ptr<CaptureClient>> client = platform.open_source(loopback_selection(request));
        if (!client) return client.error_result();
        run.client = std::move(*client);
    }

    // 4. The worker that turns the samples into PCM on standard output.
    run.output_failed = std::make_shared<std::atomic<bool>>(false);
    {
        Result<Worker> worker = start_worker(CAPTURE_CHANNELS, CAPTURE_SAMPLE_RATE, CAPTURE_QUEUE_CAPACITY,
                                             run.output_failed);
        if (!worker) return worker.error_result();
        run.worker.emplace(std::move(*worker));
        run.room.emplace(*run.worker);
        run.client->set_packet_room(&*run.room);
    }

    // 5. From here on a console stop ends the run normally.
    if (Status installed = platform.install_stop_handler(); !installed) return installed;

    // 6. Nobody left while we prepared.
    if (!run.translator->handle->is_running() || (run.target && !run.target->handle->is_running())) {
        return fail("selected or parent process exited before capture");
    }

    // 7-8. The reader sees the format line before the first PCM byte can exist.
    platform.write_stderr_line(format_event_line(platform.backend_name()));
    if (Status started = run.client->start(); !started) return started;

    // 9. Stream until a stop condition.
    const SilenceBuffer silence{};
    const PacketLoopContext context{*run.client,
                                    *run.translator->handle,
                                    run.target ? run.target->handle.get() : nullptr,
                                    platform.stop_requested(),
                                    *run.output_failed,
                                    silence};
    Status result = capture_packets(context, *run.worker);
    // A worker that ended early set output_failed, which the loop takes for a normal end; its
    // reason is the run's error.
    if (result) {
        if (const char* worker_failure = run.worker->failure()) result = fail(worker_failure);
    }

    // 10. Take down before the result goes to the entry.
    run.take_down();
    return result;
}

}  // namespace tamsel::host
