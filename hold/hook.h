// A hook (--on-change): a command run with the event in its environment, never through a
// shell, its output lines handed back, bounded in time. Spawning is the platform's
// (hook_posix.cc, hook_win32.cc); the lines, the bound and the queue that runs hooks
// beside the holding loop are here.
#ifndef PORTWRANGLER_HOLD_HOOK_H_
#define PORTWRANGLER_HOLD_HOOK_H_

#include <atomic>
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "base/limits.h"

using HookEnvironment = std::vector<std::pair<std::string, std::string>>;

/// How a hook ended.
struct HookResult {
  bool started = false;    // false: it could not be run (`problem` says why)
  bool timed_out = false;  // stopped after the bound
  bool cancelled = false;  // ended (or never started) because its queue was closed
  int exit_code = -1;      // its exit status; -1 when it ended by a signal
  std::string problem;
};

/// Runs `argv` (argv[0] looked up on PATH) with `environment` added to this process's,
/// for at most `timeout_ms`; each line it writes on standard output or standard error is
/// handed to `line`, without its line end. It is done once the hook itself has ended
/// (what it left running may keep the output open: read for kHookDrainMs more). At the
/// bound, or once `*cancel` is set (read every few tens of milliseconds), it is ended
/// with everything it started. None of this process's descriptors reaches it but its
/// standard input (empty), output and error.
HookResult hook_run(const std::vector<std::string>& argv, const HookEnvironment& environment,
                    int timeout_ms, const std::function<void(const std::string&)>& line,
                    const std::atomic<bool>* cancel = nullptr);

/// The platform's part: starts `argv` (never empty), hands its output bytes to `bytes` as they
/// come, ends it (its process group, or job) after `timeout_ms` or on `*cancel`.
HookResult hook_platform_run(const std::vector<std::string>& argv,
                             const HookEnvironment& environment, int timeout_ms,
                             const std::function<void(const char*, size_t)>& bytes,
                             const std::atomic<bool>* cancel);

/// One hook to run, and what it is told as in what is said of it.
struct HookJob {
  std::vector<std::string> argv;
  HookEnvironment environment;
  std::string name;  // the entry and event, for a failure's text
};

/// Runs hooks beside the caller, on a thread of its own: one at a time, in the order
/// added, each by hook_run with its bound, at most `most_waiting` waiting. `line` gets
/// their output lines and `done` each one's end (also of one never run); both are called
/// on that thread (or on the caller's, for a job not queued) and must not throw.
class HookQueue {
 public:
  using Line = std::function<void(const std::string&)>;
  using Done = std::function<void(const HookJob&, const HookResult&)>;
  HookQueue(int timeout_ms, Line line, Done done, size_t most_waiting = kHookWaitingMax);
  ~HookQueue();
  HookQueue(const HookQueue&) = delete;
  HookQueue& operator=(const HookQueue&) = delete;

  /// Queues `job` and returns at once; a job that cannot be queued (too many waiting, no
  /// memory, no thread) is told to `done` as not started.
  void add(HookJob job) noexcept;

  /// Waits up to `grace_ms` for the queued hooks, then ends the one running and tells the
  /// rest as cancelled; no hook runs after it.
  void finish(int grace_ms) noexcept;

 private:
  void work() noexcept;

  const int timeout_ms_;
  const size_t most_waiting_;
  const Line line_;
  const Done done_;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::deque<HookJob> jobs_;
  bool busy_ = false;     // a hook runs now
  bool closing_ = false;  // finish: nothing more is taken
  std::atomic<bool> cancel_{false};
  std::thread thread_;
};

#endif  // PORTWRANGLER_HOLD_HOOK_H_
