// Entry point: takes the long options, prepares the console, picks the face (the screens,
// the JSON document, or a held set's events) and runs the command (app/start.cc finds
// the router, app/run.cc runs the flow). Everything a run holds lives in run() and is
// gone when it returns how the run ends; main then shows the end and ends the process,
// the one place that does.
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "app/run.h"
#include "app/start.h"
#include "base/trace.h"
#include "cli/options.h"
#include "cli/status.h"
#include "hold/loop.h"
#include "render/console.h"
#include "render/json.h"
#include "render/screens_start.h"

namespace {

/// How a run ends, once everything it held is gone.
struct Ending {
  Outcome outcome;
  int exit_code;
  bool json;                    // the document is written: no screen to end
  const char* plain = nullptr;  // --help or --version: this text alone, exit status 0
};

Ending run(int argc, char** argv) {
  RunOptions options;
  Prepared run;
  const bool options_good = take_long_options(&argc, argv, &options, &run.problem);
  if (options_good && options.help) return {{Status::kHelp, ""}, 0, false, options_usage()};
  if (options_good && options.version) {
    return {{Status::kHelp, ""}, 0, false, "portwrangler " PORTWRANGLER_VERSION "\n"};
  }
  if (options_good &&
      (!options.hold_file.empty() || !options.on_change.empty() || !options.status_file.empty())) {
    const Outcome outcome = run_hold(argc, options);
    return {outcome, static_cast<int>(exit_status_of(outcome)), true};
  }
  // A JSON answer is the document alone: no banner, no colour, the console left as it is.
  if (!options.json) {
    size_console(console_output(), 71, 50);
    clear_screen(console_output());
    print_banner();
  }
  // A holding run takes its stop signals from its start: a stop before anything is held
  // ends the exchange under way, and the run, at once.
  KeepWaiter waiter(nullptr);
  if (options_good && options.keep) waiter = keep_platform_waiter();
  Outcome outcome = options_good ? prepare(argc, argv, options, &run)
                                 : Outcome{Status::kSyntaxError, kMessageSyntax};
  // A stop during the start ends it at once: the holding loop then reports it.
  const bool ran = outcome.status != Status::kSyntaxError && outcome.status != Status::kHelp;
  const bool stopped = ran && options.keep && keep_stop_asked(waiter);
  if (outcome.status == Status::kSuccess || stopped) {
    outcome = run_command(&run, options, waiter);
  } else if (options.json) {
    json_write_failure(outcome, run.problem);
  }
  const bool report = run.code == kDiagnose && outcome.status == Status::kSuccess;
  const int exit_code =
      exit_status_meaningful(options) || report ? static_cast<int>(exit_status_of(outcome)) : 1;
  return {outcome, exit_code, options.json};
}

}  // namespace

int main(int argc, char** argv) {
  std::signal(SIGINT, SIG_IGN);
#ifdef SIGPIPE
  // A reader that goes away early (piped into head) must not end the run by a signal:
  // the writes then fail quietly and the run still ends with exit status 1.
  std::signal(SIGPIPE, SIG_IGN);
#endif
  const char* tracing = std::getenv("PORTWRANGLER_TRACE");
  trace_enable(tracing != nullptr && std::strcmp(tracing, "1") == 0);
  console_start(&argc, &argv);
  const Ending ending = run(argc, argv);
  if (ending.plain != nullptr) {
    console_write(ending.plain);
  } else if (!ending.json) {
    status_show(ending.outcome);
  }
  std::fflush(stdout);
  std::exit(ending.exit_code);
}
