#pragma once

// An unbounded, thread-safe stream of values from producers to one consumer, in place of an
// asynchronous stream.
//
//   auto [sender, receiver] = platform::Channel<int>::make();
//   std::jthread producer([s = std::move(sender)] { s.send(1); s.finish(); });
//   while (auto value = receiver.receive()) use(*value);   // nullopt at the end
//
// The producer ends the stream normally (`finish`) or with an error (`fail`); the consumer reads
// every value sent before that, then the end (nullopt) or the error (rethrown by `receive`). When
// the last sender is destroyed without ending the stream, the stream ends normally. Once the
// consumer is gone (closed or destroyed), `send` returns false so the producer can stop.

#include <condition_variable>
#include <deque>
#include <exception>
#include <memory>
#include <mutex>
#include <optional>
#include <stop_token>
#include <utility>

#include "platform/sys/CancellationError.h"

namespace platform {

template <class T>
class Channel {
  struct State {
    std::mutex mutex;
    std::condition_variable_any ready;
    std::deque<T> values;             // guarded by mutex
    bool ended = false;               // guarded by mutex
    bool consumerGone = false;        // guarded by mutex
    std::exception_ptr error;         // guarded by mutex
  };

  // Ends the stream once, when the last copy of a sender goes away.
  struct SenderLife {
    explicit SenderLife(std::shared_ptr<State> s) : state(std::move(s)) {}
    SenderLife(const SenderLife&) = delete;
    SenderLife& operator=(const SenderLife&) = delete;
    std::shared_ptr<State> state;
    ~SenderLife() {
      std::scoped_lock lock(state->mutex);
      state->ended = true;
      state->ready.notify_all();
    }
  };

 public:
  // The producer's end. Copyable: copies share the stream; safe to use from any thread.
  class Sender {
   public:
    // Appends `value`. Returns false, and drops the value, when the consumer is gone or the stream
    // has already ended.
    bool send(T value) const {
      auto& s = *life_->state;
      std::scoped_lock lock(s.mutex);
      if (s.consumerGone || s.ended) return false;
      s.values.push_back(std::move(value));
      s.ready.notify_all();
      return true;
    }
    // Ends the stream normally. Later calls to finish or fail do nothing.
    void finish() const { end(nullptr); }
    // Ends the stream with `error`, which the consumer's receive throws after the last value.
    void fail(std::exception_ptr error) const { end(std::move(error)); }
    // True once the consumer has closed or destroyed its end.
    bool isConsumerGone() const {
      std::scoped_lock lock(life_->state->mutex);
      return life_->state->consumerGone;
    }

   private:
    friend class Channel;
    explicit Sender(std::shared_ptr<State> state)
        : life_(std::make_shared<SenderLife>(std::move(state))) {}
    void end(std::exception_ptr error) const {
      auto& s = *life_->state;
      std::scoped_lock lock(s.mutex);
      if (s.ended) return;
      s.ended = true;
      s.error = std::move(error);
      s.ready.notify_all();
    }
    std::shared_ptr<SenderLife> life_;
  };

  // The consumer's end. Move-only; one thread reads at a time. Destroying it closes it.
  class Receiver {
   public:
    Receiver(Receiver&&) noexcept = default;
    Receiver& operator=(Receiver&& other) noexcept {
      if (this != &other) {
        close();
        state_ = std::move(other.state_);
      }
      return *this;
    }
    Receiver(const Receiver&) = delete;
    Receiver& operator=(const Receiver&) = delete;
    ~Receiver() { close(); }

    // Waits for the next value. Returns nullopt once the stream ended normally and every value
    // was read, or after close(); throws the producer's error once every value was read; throws
    // CancellationError when `token` is stopped while waiting.
    std::optional<T> receive(std::stop_token token = {}) {
      if (!state_) return std::nullopt;
      auto& s = *state_;
      std::unique_lock lock(s.mutex);
      s.ready.wait(lock, token, [&] { return !s.values.empty() || s.ended || s.consumerGone; });
      if (!s.values.empty()) {
        T value = std::move(s.values.front());
        s.values.pop_front();
        return value;
      }
      if (s.consumerGone) return std::nullopt;
      if (s.ended) {
        if (s.error) std::rethrow_exception(s.error);
        return std::nullopt;
      }
      throw CancellationError();
    }

    // Returns the next value when one is waiting, without blocking.
    std::optional<T> tryReceive() {
      if (!state_) return std::nullopt;
      std::scoped_lock lock(state_->mutex);
      if (state_->values.empty()) return std::nullopt;
      T value = std::move(state_->values.front());
      state_->values.pop_front();
      return value;
    }

    // Gives up the stream: queued values are dropped and senders learn that nobody listens.
    void close() {
      if (!state_) return;
      std::scoped_lock lock(state_->mutex);
      state_->consumerGone = true;
      state_->values.clear();
      state_->ready.notify_all();
    }

   private:
    friend class Channel;
    explicit Receiver(std::shared_ptr<State> state) : state_(std::move(state)) {}
    std::shared_ptr<State> state_;
  };

  // A new stream and its two ends.
  static std::pair<Sender, Receiver> make() {
    auto state = std::make_shared<State>();
    return {Sender(state), Receiver(state)};
  }
};

}  // namespace platform
