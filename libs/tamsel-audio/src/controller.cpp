#include "tamsel/audio/controller.hpp"

#include <cstdio>
#include <thread>

#include "controller_apartment.hpp"
#include "controller_channels.hpp"
#include "controller_cubeb.hpp"
#include "device_cubeb.hpp"

namespace tamsel {

using controller_detail::OneShotReceiver;
using controller_detail::OneShotSender;
using controller_detail::RequestChannel;

namespace {

constexpr std::chrono::milliseconds WAKE_INTERVAL{250};
constexpr std::chrono::seconds DIAGNOSTICS_INTERVAL{1};

using StartupReply = Result<std::string>;

// Everything the controller thread starts with.
struct ThreadStart {
    std::optional<OneShotSender<StartupReply>> startup;
    std::shared_ptr<RequestChannel> requests;
    const CubebApi* api = nullptr;
    std::int32_t (*enter_apartment)() = nullptr;
    void (*leave_apartment)() = nullptr;
    bool diagnostics = false;
};

// Stops serving on every way out of the thread, exceptions included, so that senders never
// wait on a receiver that is gone.
struct ReceiverCloser {
    RequestChannel& channel;
    ~ReceiverCloser() { channel.close_receiver(); }
};

struct ApartmentGuard {
    void (*leave)();
    ~ApartmentGuard() { leave(); }
};

struct ContextGuard {
    const CubebApi* api;
    cubeb* context;
    ~ContextGuard() {
        if (context) api->destroy(context);
    }
};

void serve(RequestChannel& requests, ControllerState& state, bool diagnostics) {
    auto last_tick = std::chrono::steady_clock::now();
    for (;;) {
        std::optional<ControllerMessage> message;
        const auto wait = requests.pop_for(WAKE_INTERVAL, message);
        if (wait == RequestChannel::Wait::Closed) return;
        if (wait == RequestChannel::Wait::Message) {
            if (std::holds_alternative<ShutdownMessage>(*message)) return;
            try {
                std::get<RunMessage>(*message).job(state);
            } catch (...) {
                // A job that throws is abandoned: its reply channel closes unanswered and the
                // controller goes on serving.
            }
            message.reset();  // release the job here, before the next wait
        }
        if (diagnostics) {
            const auto now = std::chrono::steady_clock::now();
            if (now - last_tick >= DIAGNOSTICS_INTERVAL) {
                for (auto& entry : state.streams) entry.second->report_diagnostics();
                last_tick = now;
            }
        }
    }
}

void controller_thread(ThreadStart& start) {
    OneShotSender<StartupReply> startup = std::move(*start.startup);
    start.startup.reset();
    RequestChannel& requests = *start.requests;
    requests.set_serving_thread(std::this_thread::get_id());
    ReceiverCloser closer{requests};

    const std::int32_t hr = start.enter_apartment();
    if (hr < 0) {
        startup.send(fail(com_failure_text(hr)));
        return;
    }
    ApartmentGuard apartment{start.leave_apartment};

    cubeb* raw_context = nullptr;
    // The backend name is a preference: cubeb falls back to its default order when the
    // named backend is missing (as "wasapi" is outside Windows) or fails to start.
    const int rc = start.api->init(&raw_context, "Tamsel", "wasapi");
    if (rc != CUBEB_OK) {
        startup.send(fail(std::string("cubeb context: ") + cubeb_error_name(rc)));
        return;
    }
    ContextGuard context{start.api, raw_context};

    const char* id = start.api->get_backend_id(raw_context);
    const std::string backend = id ? id : "";
    write_stderr_line("TAMSEL_AUDIO backend=" + backend + " binding=0.38.0\n");

    ControllerState state;
    state.context = raw_context;
    state.api = start.api;
    if (!startup.send(backend)) return;

    serve(requests, state, start.diagnostics);

    // Stop taking requests first: what is still queued is dropped and its requesters are told.
    requests.close_receiver();
    state.streams.clear();
}

Result<std::vector<AudioDevice>> enumerate_on_thread(ControllerState& state, DeviceDirection direction) {
    const cubeb_device_type type =
        direction == DeviceDirection::Output ? CUBEB_DEVICE_TYPE_OUTPUT : CUBEB_DEVICE_TYPE_INPUT;
    cubeb_device_collection collection{};
    const int rc = state.api->enumerate_devices(state.context, type, &collection);
    if (rc != CUBEB_OK) return fail(std::string("cubeb enumerate: ") + cubeb_error_name(rc));
    auto devices = devices_from_collection(collection, direction);
    state.api->device_collection_destroy(state.context, &collection);
    return devices;
}

}  // namespace

const CubebApi& real_cubeb() {
    static const CubebApi api{&cubeb_init, &cubeb_get_backend_id, &cubeb_enumerate_devices,
                              &cubeb_device_collection_destroy, &cubeb_destroy};
    return api;
}

const char* cubeb_error_name(int result) {
    switch (result) {
        case CUBEB_ERROR_DEVICE_UNAVAILABLE: return "DeviceUnavailable";
        case CUBEB_ERROR_NOT_SUPPORTED: return "NotSupported";
        case CUBEB_ERROR_INVALID_PARAMETER: return "InvalidParameter";
        case CUBEB_ERROR_INVALID_FORMAT: return "InvalidFormat";
        default: return "Error";
    }
}

std::string com_failure_text(std::int32_t hr) {
    char digits[16];
    std::snprintf(digits, sizeof digits, "%x", static_cast<unsigned>(static_cast<std::uint32_t>(hr)));
    return std::string("COM MTA initialization failed: 0x") + digits;
}

bool diagnostics_from_environment() { return environment_defined("TAMSEL_AUDIO_DIAGNOSTICS"); }

AudioController::AudioController(std::shared_ptr<controller_detail::RequestChannel> requests)
    : requests_(std::move(requests)) {
    requests_->add_sender();
}

AudioController::~AudioController() {
    try {
        (void)requests_->push(ShutdownMessage{});
    } catch (...) {
        // No memory for the message: dropping the last sending handle below ends the serving
        // just the same, once the requests already queued are done.
    }
    requests_->remove_sender();
    if (!thread_.joinable()) return;
    // A job that drops the last reference runs this on the controller thread itself, which
    // cannot wait for its own end; it then finishes on its own after this job.
    if (requests_->is_serving_thread(std::this_thread::get_id())) {
        thread_.detach();
    } else {
        thread_.join();
    }
}

Status AudioController::send(ControllerMessage message) const {
    if (!requests_->push(std::move(message))) return fail("audio controller closed");
    return ok();
}

Result<std::vector<AudioDevice>> AudioController::enumerate_devices(DeviceDirection direction) const {
    using Reply = Result<std::vector<AudioDevice>>;
    auto [reply_sender, reply] = controller_detail::one_shot<Reply>();
    ControllerJob job([sender = std::move(reply_sender), direction](ControllerState& state) mutable {
        // A requester that is gone no longer wants the answer; it is dropped.
        (void)sender.send(enumerate_on_thread(state, direction));
    });
    const Status sent = send(RunMessage{std::move(job)});
    if (!sent) return sent.error_result();
    auto answer = reply.receive();
    if (!answer) return fail("audio controller exited during operation");
    return std::move(*answer);
}

Result<SharedController> start_controller(const ControllerOptions& options) {
    auto requests = std::make_shared<RequestChannel>();
    // The owner first: every way out from here, an exception included, goes through its
    // destructor, which stops the thread before joining it.
    auto controller = std::make_shared<AudioController>(requests);
    auto [startup_sender, startup] = controller_detail::one_shot<StartupReply>();

    auto start = std::make_shared<ThreadStart>();
    start->startup.emplace(std::move(startup_sender));
    start->requests = requests;
    start->api = options.api ? options.api : &real_cubeb();
    start->enter_apartment = options.enter_apartment ? options.enter_apartment : &controller_detail::enter_thread_apartment;
    start->leave_apartment = options.leave_apartment ? options.leave_apartment : &controller_detail::leave_thread_apartment;
    start->diagnostics = options.diagnostics.value_or(diagnostics_from_environment());

    auto thread = start_named_thread("tamsel-audio-control", [start] {
        try {
            controller_thread(*start);
        } catch (...) {
            // Nothing may escape the thread; the starter sees the thread end unanswered.
        }
    });
    start.reset();
    if (!thread) return fail("audio control thread: " + thread.error());
    controller->thread_ = std::move(*thread);

    // The startup channel closes unanswered only while the thread is on its way out; on a
    // failure the controller's destructor joins it, which waits for nothing but its cleanup.
    auto reply = startup.receive();
    if (!reply) return fail("audio control thread exited");
    if (!*reply) return reply->error_result();
    controller->backend_ = std::move(reply->value());
    return controller;
}

Result<SharedController> ControllerRegistry::get(const Starter& start) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (poisoned_) return fail("audio controller registry poisoned");
    if (slot_) return slot_;
    try {
        auto started = start();
        if (!started) return started;
        slot_ = *started;
        return slot_;
    } catch (...) {
        // A start that unwinds leaves the registry in an unknown state for good.
        poisoned_ = true;
        return fail("audio controller registry poisoned");
    }
}

bool ControllerRegistry::holds_controller() {
    std::lock_guard<std::mutex> lock(mutex_);
    return slot_ != nullptr;
}

ControllerRegistry& controller_registry() {
    // Never destroyed: the controller runs until the process ends, and no exit path waits
    // for its thread.
    static ControllerRegistry* registry = new ControllerRegistry;
    return *registry;
}

Result<SharedController> shared_controller() {
    return controller_registry().get([] { return start_controller(); });
}

}  // namespace tamsel
