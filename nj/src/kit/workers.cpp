// SPDX-License-Identifier: MIT
#include "kit/workers.hpp"

#include <chrono>
#include <condition_variable>
#include <exception>
#include <mutex>
#include <thread>
#include <vector>

namespace nj::kit::detail {

namespace {

// Short enough that a stop request reaches the workers within a fraction of
// a second, long enough that watching costs nothing.
constexpr std::chrono::milliseconds watch_slice{5};

// The running workers. Destroying the team stops and joins them, so that
// neither an exception nor a thread unwound by the interpreter leaves a
// thread behind.
class Team {
 public:
  explicit Team(const WorkerBody& body) : body_(body) {}
  Team(const Team&) = delete;
  Team& operator=(const Team&) = delete;
  ~Team() {
    stop();
    join();
  }

  void start(unsigned threads) {
    threads_.reserve(threads);
    for (unsigned k = 0; k < threads; ++k) {
      {
        const std::lock_guard lock(mutex_);
        ++running_;
      }
      try {
        threads_.emplace_back([this, k] { run(k); });
      } catch (...) {
        const std::lock_guard lock(mutex_);
        --running_;
        throw;
      }
    }
  }

  void stop() noexcept { stopping_.store(true, std::memory_order_relaxed); }

  /// Waits up to one slice; true once every worker has finished.
  bool wait_slice() {
    std::unique_lock lock(mutex_);
    return finished_.wait_for(lock, watch_slice, [this] { return running_ == 0; });
  }

  void join() noexcept {
    for (std::thread& thread : threads_) {
      if (thread.joinable()) thread.join();
    }
  }

  void rethrow_failure() const {
    if (failure_) std::rethrow_exception(failure_);
  }

 private:
  // A C++ exception is kept for the calling thread; anything else (the
  // forced unwinding that ends a thread, for which current_exception() is
  // empty) passes through.
  void run(unsigned worker) {
    try {
      body_(worker, should_stop_);
    } catch (...) {
      const std::exception_ptr failure = std::current_exception();
      finish(failure);
      if (!failure) throw;
      return;
    }
    finish(nullptr);
  }

  // The first failure is kept (a worker stopped because of it only adds a
  // Cancelled), and the others are told to stop.
  void finish(std::exception_ptr failure) noexcept {
    {
      const std::lock_guard lock(mutex_);
      if (failure && !failure_) failure_ = failure;
      --running_;
    }
    if (failure) stop();
    finished_.notify_all();
  }

  const WorkerBody& body_;
  std::atomic<bool> stopping_{false};
  const StopCheck should_stop_ = [this] { return stopping_.load(std::memory_order_relaxed); };
  std::mutex mutex_;
  std::condition_variable finished_;
  unsigned running_ = 0;
  std::exception_ptr failure_;
  std::vector<std::thread> threads_;
};

std::uint64_t read(const std::atomic<std::uint64_t>* progress) noexcept {
  return progress ? progress->load(std::memory_order_relaxed) : 0;
}

}  // namespace

void run_on_workers(unsigned threads, const WorkerBody& body,
                    const std::atomic<std::uint64_t>* progress, const Monitor& monitor) {
  Team team(body);
  team.start(threads == 0 ? 1 : threads);
  bool stopped = false;
  while (!team.wait_slice()) {
    if (!stopped && monitor && !monitor(read(progress))) {
      team.stop();
      stopped = true;
    }
  }
  team.join();
  if (stopped) throw Cancelled();
  team.rethrow_failure();
  if (monitor && !monitor(read(progress))) throw Cancelled();
}

}  // namespace nj::kit::detail
