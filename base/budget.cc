#include "base/budget.h"

#include <chrono>

namespace {

using Clock = std::chrono::steady_clock;

bool budget_set = false;
Clock::time_point budget_end;

long long left_ms() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(budget_end - Clock::now()).count();
}

}  // namespace

void run_budget_start(int seconds) {
  budget_set = true;
  budget_end = Clock::now() + std::chrono::seconds(seconds);
}

void run_budget_extend(int seconds) {
  if (budget_set) budget_end += std::chrono::seconds(seconds);
}

void run_budget_clear() {
  budget_set = false;
}

int run_budget_cap(int milliseconds) {
  if (!budget_set) return milliseconds;
  const long long left = left_ms();
  if (left <= 0) return 0;
  return left < milliseconds ? static_cast<int>(left) : milliseconds;
}

bool run_budget_spent() {
  return budget_set && left_ms() <= 0;
}
