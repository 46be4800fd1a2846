// The program's one clock: monotonic milliseconds, for every wait, deadline and event
// time between steps. A deadline is a value, handed down to what waits: the run's end and
// an exchange's own end are two of them, and a wait takes the sooner (the time left).
#ifndef PORTWRANGLER_BASE_CLOCK_H_
#define PORTWRANGLER_BASE_CLOCK_H_

/// Milliseconds since some fixed point of this boot; never goes back.
long long clock_ms();

/// A point on clock_ms() by which something must end; `at` of kNoDeadline for none.
constexpr long long kNoDeadline = -1;
struct Deadline {
  long long at = kNoDeadline;
};

/// The deadline `milliseconds` from now.
Deadline deadline_in(long long milliseconds);

/// The sooner of two deadlines (either may be none).
Deadline deadline_sooner(Deadline a, Deadline b);

/// `milliseconds` later, unless it is none or has passed already: a spent deadline stays
/// spent.
Deadline deadline_later(Deadline deadline, long long milliseconds);

/// Whether it is set and has passed.
bool deadline_passed(Deadline deadline);

/// The milliseconds left of `deadline`, at most `cap` (0 once it has passed; `cap` when
/// it is none).
int deadline_left_ms(Deadline deadline, int cap);

#endif  // PORTWRANGLER_BASE_CLOCK_H_
