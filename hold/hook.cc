#include "hold/hook.h"

#include <chrono>

#include "base/format.h"
#include "base/limits.h"

namespace {

/// `done` must not throw; a std::function that does anyway is not let out of the thread.
void tell(const HookQueue::Done& done, const HookJob& job, const HookResult& result) {
  try {
    done(job, result);
  } catch (...) {
  }
}

}  // namespace

HookResult hook_run(const std::vector<std::string>& argv, const HookEnvironment& environment,
                    int timeout_ms, const std::function<void(const std::string&)>& line,
                    const std::atomic<bool>* cancel) {
  if (argv.empty()) {
    HookResult none;
    none.problem = "no command";
    return none;
  }
  std::string pending;
  const HookResult result = hook_platform_run(
      argv, environment, timeout_ms,
      [&](const char* data, size_t size) {
        // The platform's loop goes on to the hook's end whatever a line costs.
        try {
          for (size_t i = 0; i < size; ++i) {
            if (data[i] == '\n') {
              if (!pending.empty() && pending.back() == '\r') pending.pop_back();
              line(pending);
              pending.clear();
            } else if (pending.size() < kHookLineMax) {
              pending += data[i];
            }
          }
        } catch (...) {
          pending.clear();
        }
      },
      cancel);
  try {
    if (!pending.empty()) line(pending);
  } catch (...) {
  }
  return result;
}

HookQueue::HookQueue(int timeout_ms, Line line, Done done, size_t most_waiting)
    : timeout_ms_(timeout_ms),
      most_waiting_(most_waiting),
      line_(std::move(line)),
      done_(std::move(done)) {}

HookQueue::~HookQueue() {
  finish(0);
}

void HookQueue::add(HookJob job) noexcept {
  bool queued = false;
  bool closed = false;
  bool full = false;
  try {
    std::lock_guard<std::mutex> lock(mutex_);
    closed = closing_;
    full = jobs_.size() >= most_waiting_;
    if (!closed && !full) {
      // The thread first: a job is queued only where a thread will take it.
      if (!thread_.joinable()) thread_ = std::thread([this] { work(); });
      jobs_.push_back(std::move(job));
      queued = true;
    }
  } catch (...) {
  }
  if (queued) {
    changed_.notify_all();
    return;
  }
  HookResult result;
  result.cancelled = closed;
  result.problem = closed ? "the holding has ended"
                   : full ? format_string("%zu hooks wait already", most_waiting_)
                          : "no memory or thread for it";
  tell(done_, job, result);
}

void HookQueue::finish(int grace_ms) noexcept {
  std::deque<HookJob> dropped;
  {
    std::unique_lock<std::mutex> lock(mutex_);
    closing_ = true;
    changed_.notify_all();
    changed_.wait_for(lock, std::chrono::milliseconds(grace_ms),
                      [this] { return jobs_.empty() && !busy_; });
    cancel_ = true;
    dropped.swap(jobs_);
  }
  changed_.notify_all();
  if (thread_.joinable()) thread_.join();
  for (const HookJob& job : dropped) {
    HookResult result;
    result.cancelled = true;
    result.problem = "the holding has ended";
    tell(done_, job, result);
  }
}

void HookQueue::work() noexcept {
  for (;;) {
    HookJob job;
    {
      std::unique_lock<std::mutex> lock(mutex_);
      changed_.wait(lock, [this] { return closing_ || !jobs_.empty(); });
      if (jobs_.empty() || cancel_) return;  // closed; what is left finish tells
      job = std::move(jobs_.front());
      jobs_.pop_front();
      busy_ = true;
    }
    HookResult result;
    try {
      result = hook_run(job.argv, job.environment, timeout_ms_, line_, &cancel_);
    } catch (...) {
      result.problem = "no memory for it";
    }
    tell(done_, job, result);
    {
      std::lock_guard<std::mutex> lock(mutex_);
      busy_ = false;
    }
    changed_.notify_all();
  }
}
