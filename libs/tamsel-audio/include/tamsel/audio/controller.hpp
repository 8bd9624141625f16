#pragma once
// The audio controller: one dedicated thread, "tamsel-audio-control", that owns the COM
// apartment (on Windows) and the cubeb context, and executes requests from any thread one at a
// time. Callers obtain the process-wide controller with shared_controller() and never call
// cubeb themselves.
//
//   auto controller = tamsel::shared_controller();
//   if (!controller) return controller.error_result();
//   auto inputs = (*controller)->enumerate_devices(tamsel::DeviceDirection::Input);
//
// Releasing the last reference to a controller stops its thread and waits for it. The
// process-wide registry keeps one reference, so its controller runs until the process ends.

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "tamsel/audio/device.hpp"
#include "tamsel/audio/platform.hpp"
#include "tamsel/audio/result.hpp"

struct cubeb;  // cubeb.h: typedef struct cubeb cubeb

namespace tamsel {

// The cubeb calls the controller makes, replaceable so that tests can make them fail. The
// default is the real library.
struct CubebApi;
const CubebApi& real_cubeb();

// A stream registered with the controller: reports its diagnostics once per second while
// diagnostics are on.
class ControllerStream {
public:
    virtual ~ControllerStream() = default;
    virtual void report_diagnostics() = 0;
};

// Owned by the controller thread alone; jobs get exclusive access to it.
struct ControllerState {
    std::map<std::uint64_t, std::unique_ptr<ControllerStream>> streams;
    cubeb* context = nullptr;
    const CubebApi* api = nullptr;
};

// A one-shot job, run on the controller thread. Move-only, so it can own a reply sender.
class ControllerJob {
public:
    template <class F>
    explicit ControllerJob(F body) : impl_(std::make_unique<Impl<F>>(std::move(body))) {}
    void operator()(ControllerState& state) { impl_->run(state); }

private:
    struct Base {
        virtual ~Base() = default;
        virtual void run(ControllerState& state) = 0;
    };
    template <class F>
    struct Impl final : Base {
        explicit Impl(F f) : body(std::move(f)) {}
        void run(ControllerState& state) override { body(state); }
        F body;
    };
    std::unique_ptr<Base> impl_;
};

struct RunMessage {
    ControllerJob job;
};
struct ShutdownMessage {};
using ControllerMessage = std::variant<RunMessage, ShutdownMessage>;

namespace controller_detail {
struct RequestChannel;
}

struct ControllerOptions;

class AudioController {
public:
    // The owner of a controller thread, made before the thread exists (start_controller gives
    // it the thread and the backend), so that whatever fails or throws after the thread has
    // started, the thread is told to stop before it is joined. Holds the controller's own
    // sending handle of `requests`.
    explicit AudioController(std::shared_ptr<controller_detail::RequestChannel> requests);
    // Sends Shutdown, lets go of the sending handle (which alone ends the thread's serving) and
    // waits for the thread to end.
    ~AudioController();
    AudioController(const AudioController&) = delete;
    AudioController& operator=(const AudioController&) = delete;

    // The cubeb backend identifier the thread reported at start ("wasapi", "pulse", ...).
    const std::string& backend() const { return backend_; }

    // Puts a message on the request channel; fails with "audio controller closed" when the
    // controller thread is gone.
    Status send(ControllerMessage message) const;

    // The enabled devices of one direction. Blocks until the controller thread answers.
    Result<std::vector<AudioDevice>> enumerate_devices(DeviceDirection direction) const;

private:
    friend Result<std::shared_ptr<AudioController>> start_controller(const ControllerOptions& options);

    std::shared_ptr<controller_detail::RequestChannel> requests_;
    std::string backend_;
    NamedThread thread_;
};

using SharedController = std::shared_ptr<AudioController>;

// How a controller starts. The defaults are the real system: cubeb, the COM apartment on
// Windows (nothing elsewhere) and TAMSEL_AUDIO_DIAGNOSTICS read from the environment.
struct ControllerOptions {
    const CubebApi* api = nullptr;  // null: real_cubeb()
    // Enter the thread's apartment: an HRESULT, negative for failure. Null: the platform's.
    std::int32_t (*enter_apartment)() = nullptr;
    void (*leave_apartment)() = nullptr;
    // Unset: read TAMSEL_AUDIO_DIAGNOSTICS now.
    std::optional<bool> diagnostics;
};

// Starts a controller thread and waits for its startup reply.
Result<SharedController> start_controller(const ControllerOptions& options = {});

// The process-wide slot for the shared controller. Starting happens under the lock, so
// concurrent first callers share one thread. A start that throws poisons the registry for good.
class ControllerRegistry {
public:
    using Starter = std::function<Result<SharedController>()>;
    Result<SharedController> get(const Starter& start);
    bool holds_controller();

private:
    std::mutex mutex_;
    SharedController slot_;
    bool poisoned_ = false;
};

ControllerRegistry& controller_registry();

// The process-wide controller, started on first use with the real system.
Result<SharedController> shared_controller();

// "DeviceUnavailable", "NotSupported", "InvalidParameter", "InvalidFormat" or "Error".
const char* cubeb_error_name(int result);

// "COM MTA initialization failed: 0x{hr as unsigned 32-bit, lower-case hex}".
std::string com_failure_text(std::int32_t hr);

// TAMSEL_AUDIO_DIAGNOSTICS is defined (any value, the empty one included).
bool diagnostics_from_environment();

}  // namespace tamsel
