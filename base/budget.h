// The run's budget of time. Every wait of the socket layer ends by it, so no device on
// the LAN and no router, however slowly it answers, holds a run longer than the bound
// the README gives. A table read that comes back adds to it: a long table takes its time.
// Unset (as in unit tests and between the renewals of a held forwarding) it limits nothing.
#ifndef PORTWRANGLER_BASE_BUDGET_H_
#define PORTWRANGLER_BASE_BUDGET_H_

/// From now on, the run may wait for `seconds` more in all.
void run_budget_start(int seconds);

/// `seconds` more for the run, once its budget is set.
void run_budget_extend(int seconds);

/// No budget: waits are bounded by their own times alone.
void run_budget_clear();

/// `milliseconds`, or what is left of the budget when that is less (0 once it is spent).
int run_budget_cap(int milliseconds);

/// Whether the budget is set and spent.
bool run_budget_spent();

#endif  // PORTWRANGLER_BASE_BUDGET_H_
