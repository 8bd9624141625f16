#pragma once
// The controller's channels.
//
// Request channel (many senders, one receiver, unbounded):
//   - `queue` holds the messages in arrival order; only the receiver pops, any sender pushes.
//   - `senders` counts live sending handles. When it drops to 0 and the queue is empty the
//     receiver sees the channel closed.
//   - `receiver_open` turns false once, when the controller thread stops serving; from then on
//     every send fails and the messages still queued are destroyed (outside the lock), which
//     closes their reply channels unanswered.
//   - `serving_thread` is the controller thread's id, set once when it starts.
//   - Every field is read and written under `mutex`; `ready` is signalled on each push, on the
//     last sender leaving and on close.
//
// One-slot channel (one sender, one receiver, at most one value):
//   - The sender delivers at most once; dropping it undelivered closes the channel, so the
//     receiver wakes without a value instead of waiting for ever.
//   - Sending fails when the receiver is gone; the value is then dropped.

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <utility>

#include "tamsel/audio/controller.hpp"

namespace tamsel::controller_detail {

struct RequestChannel {
    std::mutex mutex;
    std::condition_variable ready;
    std::deque<ControllerMessage> queue;
    std::size_t senders = 0;
    bool receiver_open = true;
    std::thread::id serving_thread;

    void set_serving_thread(std::thread::id id) {
        std::lock_guard<std::mutex> lock(mutex);
        serving_thread = id;
    }

    bool is_serving_thread(std::thread::id id) {
        std::lock_guard<std::mutex> lock(mutex);
        return serving_thread == id;
    }

    // False when the receiver is gone; the message is then dropped.
    bool push(ControllerMessage message) {
        {
            std::lock_guard<std::mutex> lock(mutex);
            if (!receiver_open) return false;
            queue.push_back(std::move(message));
        }
        ready.notify_one();
        return true;
    }

    void add_sender() {
        std::lock_guard<std::mutex> lock(mutex);
        ++senders;
    }

    void remove_sender() {
        {
            std::lock_guard<std::mutex> lock(mutex);
            --senders;
        }
        ready.notify_all();
    }

    enum class Wait { Message, Timeout, Closed };

    // Waits at most `timeout` for a message.
    Wait pop_for(std::chrono::milliseconds timeout, std::optional<ControllerMessage>& out) {
        std::unique_lock<std::mutex> lock(mutex);
        const bool woke = ready.wait_for(lock, timeout, [this] { return !queue.empty() || senders == 0; });
        if (!queue.empty()) {
            out.emplace(std::move(queue.front()));
            queue.pop_front();
            return Wait::Message;
        }
        return woke ? Wait::Closed : Wait::Timeout;
    }

    // The receiver stops: later sends fail, queued messages are destroyed here.
    void close_receiver() {
        std::deque<ControllerMessage> dropped;
        {
            std::lock_guard<std::mutex> lock(mutex);
            receiver_open = false;
            dropped.swap(queue);
        }
    }
};

template <class T>
struct OneShotSlot {
    std::mutex mutex;
    std::condition_variable ready;
    std::optional<T> value;
    bool sender_open = true;
    bool receiver_open = true;
};

template <class T>
class OneShotSender {
public:
    explicit OneShotSender(std::shared_ptr<OneShotSlot<T>> slot) : slot_(std::move(slot)) {}
    OneShotSender(OneShotSender&&) noexcept = default;
    OneShotSender& operator=(OneShotSender&&) = delete;
    OneShotSender(const OneShotSender&) = delete;
    OneShotSender& operator=(const OneShotSender&) = delete;
    ~OneShotSender() { close(); }

    // Delivers the value; false when the receiver is gone (the value is dropped then).
    bool send(T value) {
        if (!slot_) return false;
        bool delivered = false;
        {
            std::lock_guard<std::mutex> lock(slot_->mutex);
            if (slot_->receiver_open) {
                slot_->value.emplace(std::move(value));
                delivered = true;
            }
        }
        close();
        return delivered;
    }

private:
    void close() {
        if (!slot_) return;
        {
            std::lock_guard<std::mutex> lock(slot_->mutex);
            slot_->sender_open = false;
        }
        slot_->ready.notify_all();
        slot_.reset();
    }
    std::shared_ptr<OneShotSlot<T>> slot_;
};

template <class T>
class OneShotReceiver {
public:
    explicit OneShotReceiver(std::shared_ptr<OneShotSlot<T>> slot) : slot_(std::move(slot)) {}
    OneShotReceiver(OneShotReceiver&&) noexcept = default;
    OneShotReceiver& operator=(OneShotReceiver&&) = delete;
    OneShotReceiver(const OneShotReceiver&) = delete;
    OneShotReceiver& operator=(const OneShotReceiver&) = delete;
    ~OneShotReceiver() {
        if (!slot_) return;
        std::lock_guard<std::mutex> lock(slot_->mutex);
        slot_->receiver_open = false;
    }

    // Waits without limit; nothing when the sender went away without a value.
    std::optional<T> receive() {
        std::unique_lock<std::mutex> lock(slot_->mutex);
        slot_->ready.wait(lock, [this] { return slot_->value.has_value() || !slot_->sender_open; });
        std::optional<T> out = std::move(slot_->value);
        slot_->value.reset();
        return out;
    }

private:
    std::shared_ptr<OneShotSlot<T>> slot_;
};

template <class T>
std::pair<OneShotSender<T>, OneShotReceiver<T>> one_shot() {
    auto slot = std::make_shared<OneShotSlot<T>>();
    return {OneShotSender<T>(slot), OneShotReceiver<T>(slot)};
}

}  // namespace tamsel::controller_detail
