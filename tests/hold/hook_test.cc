// Hooks on POSIX: done when the hook itself ends, whatever it left holding its output;
// its whole group ended at the bound or a cancel; no descriptor of ours in it; the queue
// that runs them beside the loop, in order, and ends them at its close.
#include "hold/hook.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

double seconds_since(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

struct Ran {
  HookResult result;
  std::vector<std::string> lines;
  double seconds = 0;
};

Ran run_shell(const std::string& script, int timeout_ms,
              const std::atomic<bool>* cancel = nullptr) {
  Ran ran;
  const Clock::time_point start = Clock::now();
  ran.result = hook_run(
      {"sh", "-c", script}, {{"PORTWRANGLER_TEST", "seen"}}, timeout_ms,
      [&ran](const std::string& line) { ran.lines.push_back(line); }, cancel);
  ran.seconds = seconds_since(start);
  return ran;
}

/// Whether process `pid` has ended within two seconds: gone, or a zombie that whoever
/// reaps orphans here has not reaped yet.
bool gone(pid_t pid) {
  for (int i = 0; i < 100; ++i) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string text;
    std::getline(stat, text);
    const size_t name_end = text.rfind(')');
    if (!stat || name_end == std::string::npos || text.compare(name_end, 3, ") Z") == 0) {
      return true;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return false;
}

struct LeftChild {
  const char* name;
  const char* script;
  bool leaves_child;  // its one line is the pid of a child that outlives it
};

class HookEnd : public testing::TestWithParam<LeftChild> {};

TEST_P(HookEnd, IsTheHooksOwnEnd) {
  const Ran ran = run_shell(GetParam().script, 5000);
  ASSERT_EQ(ran.lines.size(), 1u);
  if (GetParam().leaves_child) {
    const pid_t left = static_cast<pid_t>(std::atol(ran.lines[0].c_str()));
    ASSERT_GT(left, 1);
    EXPECT_EQ(kill(left, 0), 0);  // not ended with the hook: it is the hook's to leave
    kill(left, SIGKILL);          // the child this test's hook started, by its pid
  }
  EXPECT_TRUE(ran.result.started);
  EXPECT_FALSE(ran.result.timed_out);
  EXPECT_EQ(ran.result.exit_code, 0);
  EXPECT_LT(ran.seconds, 2.0);
}

INSTANTIATE_TEST_SUITE_P(
    Hooks, HookEnd,
    testing::Values(LeftChild{"LeavesAChildHoldingItsOutput", "sleep 20 & echo $!", true},
                    LeftChild{"LeavesNothing", "echo $PORTWRANGLER_TEST", false}),
    [](const testing::TestParamInfo<LeftChild>& info) { return std::string(info.param.name); });

struct Ending {
  const char* name;
  int timeout_ms;
  bool cancel;   // a cancel 300 ms in
  int sleep_ms;  // how long the hook itself runs, its child left
  bool ended;    // its group is ended (else: it ran to its own end)
};

class HookGroup : public testing::TestWithParam<Ending> {};

TEST_P(HookGroup, EndsWithEverythingItStartedAtTheBoundOrACancel) {
  const Ending& ending = GetParam();
  std::atomic<bool> cancel{false};
  std::thread canceller([&] {
    if (!ending.cancel) return;
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    cancel = true;
  });
  const Ran ran = run_shell("sleep 20 & echo $!; sleep " + std::to_string(ending.sleep_ms / 1000.0),
                            ending.timeout_ms, &cancel);
  canceller.join();
  ASSERT_EQ(ran.lines.size(), 1u);
  const pid_t left = static_cast<pid_t>(std::atol(ran.lines[0].c_str()));
  ASSERT_GT(left, 1);
  EXPECT_EQ(gone(left), ending.ended);
  if (!ending.ended) kill(left, SIGKILL);  // the child this test's hook started, by its pid
  EXPECT_EQ(ran.result.timed_out, ending.ended && !ending.cancel);
  EXPECT_EQ(ran.result.cancelled, ending.ended && ending.cancel);
  EXPECT_EQ(ran.result.exit_code, ending.ended ? -1 : 0);
  EXPECT_LT(ran.seconds, 3.0);
}

INSTANTIATE_TEST_SUITE_P(Hooks, HookGroup,
                         testing::Values(Ending{"Bound", 1000, false, 20000, true},
                                         Ending{"Cancel", 20000, true, 20000, true},
                                         Ending{"WithinItsBound", 20000, false, 300, false}),
                         [](const testing::TestParamInfo<Ending>& info) {
                           return std::string(info.param.name);
                         });

class HookDescriptors : public testing::TestWithParam<bool> {};

TEST_P(HookDescriptors, OnlyItsOwnThreeReachIt) {
  // A descriptor of ours without close-on-exec, as a socket or the status file may be;
  // the control: its standard error.
  const int ours = dup(STDERR_FILENO);
  ASSERT_GT(ours, 2);
  const int looked_at = GetParam() ? ours : STDERR_FILENO;
  const Ran ran = run_shell(
      "test -e /proc/self/fd/" + std::to_string(looked_at) + " && echo open || echo closed", 5000);
  close(ours);
  EXPECT_EQ(ran.lines, std::vector<std::string>{GetParam() ? "closed" : "open"});
  const Ran all = run_shell("ls /proc/$$/fd; true", 5000);
  EXPECT_EQ(all.lines, (std::vector<std::string>{"0", "1", "2"}));
}

INSTANTIATE_TEST_SUITE_P(Hooks, HookDescriptors, testing::Bool(),
                         [](const testing::TestParamInfo<bool>& info) {
                           return std::string(info.param ? "Ours" : "ItsStandardError");
                         });

TEST(HookRun, AProgramNotFoundIsNotStarted) {
  const Ran ran = [] {
    Ran ran;
    ran.result = hook_run({"/nonexistent/hook"}, {}, 5000, [](const std::string&) {});
    return ran;
  }();
  EXPECT_FALSE(ran.result.started);
  EXPECT_FALSE(ran.result.problem.empty());
}

/// A queue's lines and ends, as its thread hands them over.
struct Told {
  std::mutex mutex;
  std::vector<std::string> lines;
  std::vector<std::pair<std::string, HookResult>> ends;
};

TEST(HookQueue, RunsBesideTheCallerOneAtATimeInOrder) {
  Told told;
  HookQueue queue(
      5000,
      [&told](const std::string& line) {
        std::lock_guard<std::mutex> lock(told.mutex);
        told.lines.push_back(line);
      },
      [&told](const HookJob& job, const HookResult& result) {
        std::lock_guard<std::mutex> lock(told.mutex);
        told.ends.emplace_back(job.name, result);
      });
  const Clock::time_point start = Clock::now();
  for (const char* name : {"1", "2", "3"}) {
    // Each started after the last ended would print its name after the one before.
    queue.add({{"sh", "-c", "echo start $N; sleep 0.2; echo end $N"}, {{"N", name}}, name});
  }
  EXPECT_LT(seconds_since(start), 0.15);  // the caller waits for none of them
  queue.finish(5000);
  EXPECT_EQ(told.lines,
            (std::vector<std::string>{"start 1", "end 1", "start 2", "end 2", "start 3", "end 3"}));
  ASSERT_EQ(told.ends.size(), 3u);
  for (const auto& end : told.ends) EXPECT_EQ(end.second.exit_code, 0) << end.first;
}

TEST(HookQueue, ItsCloseEndsWhatIsLeftAfterTheGrace) {
  Told told;
  HookQueue queue(
      20000, [](const std::string&) {},
      [&told](const HookJob& job, const HookResult& result) {
        std::lock_guard<std::mutex> lock(told.mutex);
        told.ends.emplace_back(job.name, result);
      });
  queue.add({{"sh", "-c", "exit 0"}, {}, "quick"});
  queue.add({{"sleep", "20"}, {}, "slow"});
  queue.add({{"sh", "-c", "exit 0"}, {}, "after"});
  const Clock::time_point start = Clock::now();
  queue.finish(500);
  EXPECT_GE(seconds_since(start), 0.45);
  EXPECT_LT(seconds_since(start), 2.0);
  ASSERT_EQ(told.ends.size(), 3u);
  EXPECT_EQ(told.ends[0].first, "quick");  // the control: within the grace, run to its end
  EXPECT_EQ(told.ends[0].second.exit_code, 0);
  EXPECT_FALSE(told.ends[0].second.cancelled);
  EXPECT_EQ(told.ends[1].first, "slow");
  EXPECT_TRUE(told.ends[1].second.started && told.ends[1].second.cancelled);
  EXPECT_EQ(told.ends[2].first, "after");
  EXPECT_TRUE(!told.ends[2].second.started && told.ends[2].second.cancelled);
  queue.add({{"sh", "-c", "exit 0"}, {}, "closed"});  // nothing runs after the close
  ASSERT_EQ(told.ends.size(), 4u);
  EXPECT_FALSE(told.ends[3].second.started);
}

TEST(HookQueue, TakesNoMoreThanItsMostWaiting) {
  Told told;
  HookQueue queue(
      20000,
      [&told](const std::string& line) {
        std::lock_guard<std::mutex> lock(told.mutex);
        told.lines.push_back(line);
      },
      [&told](const HookJob& job, const HookResult& result) {
        std::lock_guard<std::mutex> lock(told.mutex);
        told.ends.emplace_back(job.name, result);
      },
      1);
  queue.add({{"sh", "-c", "echo running; exec sleep 20"}, {}, "running"});
  for (int i = 0; i < 100; ++i) {  // taken off the queue once it writes
    {
      std::lock_guard<std::mutex> lock(told.mutex);
      if (!told.lines.empty()) break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  queue.add({{"sh", "-c", "exit 0"}, {}, "waiting"});  // the control: one may wait
  queue.add({{"sh", "-c", "exit 0"}, {}, "refused"});
  {
    std::lock_guard<std::mutex> lock(told.mutex);
    ASSERT_EQ(told.ends.size(), 1u);
    EXPECT_EQ(told.ends[0].first, "refused");
    EXPECT_FALSE(told.ends[0].second.started || told.ends[0].second.cancelled);
    EXPECT_EQ(told.ends[0].second.problem, "1 hooks wait already");
  }
  queue.finish(0);
  ASSERT_EQ(told.ends.size(), 3u);
  EXPECT_EQ(told.ends[1].first, "running");
  EXPECT_TRUE(told.ends[1].second.cancelled);
  EXPECT_EQ(told.ends[2].first, "waiting");
  EXPECT_TRUE(told.ends[2].second.cancelled);
}

}  // namespace
