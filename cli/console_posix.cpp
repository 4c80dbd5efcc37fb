// The command-line tool's process and console on POSIX systems: signal dispositions, isatty, poll.
#include <poll.h>
#include <unistd.h>

#include <csignal>

#include "cli/batch_runner.h"
#include "cli/console.h"

namespace qmv::cli {
namespace {

// The signal handler's only way to the conversions: raising the batch's stop request.
BatchStop* gStop = nullptr;
volatile std::sig_atomic_t gStopSignal = 0;

extern "C" void onStopSignal(int signal) {
  gStopSignal = signal;
  if (gStop != nullptr) gStop->requestStop();
}

}  // namespace

void prepareProcess() {
  // A file-size limit then fails the write with EFBIG, which the writer reports and repairs.
  std::signal(SIGXFSZ, SIG_IGN);
  // A reader of the console that quits (`| head`, a closed terminal) makes the write fail with EPIPE,
  // which only ends the printing, and every file is finished.
  std::signal(SIGPIPE, SIG_IGN);
}

std::vector<std::string> utf8Arguments(int argc, char** argv) { return {argv, argv + argc}; }

bool stderrIsTerminal() { return ::isatty(STDERR_FILENO) != 0; }

bool stdoutReaderGone() {
  // The pipe's write end reports POLLERR once its reader is gone.
  pollfd console{STDOUT_FILENO, POLLOUT, 0};
  return ::poll(&console, 1, 0) == 1 && (console.revents & POLLERR) != 0;
}

struct StopRequests::Saved {
  struct sigaction interrupt {};
  struct sigaction terminate {};
  struct sigaction hangup {};
};

StopRequests::StopRequests(BatchStop& stop) : saved_(std::make_unique<Saved>()) {
  gStopSignal = 0;
  gStop = &stop;
  struct sigaction action {};
  action.sa_handler = onStopSignal;
  sigemptyset(&action.sa_mask);
  sigaction(SIGINT, &action, &saved_->interrupt);
  sigaction(SIGTERM, &action, &saved_->terminate);
  // A closed terminal (SIGHUP) is a stop request too: it must not kill the run with its files unfinished.
  sigaction(SIGHUP, &action, &saved_->hangup);
}

StopRequests::~StopRequests() {
  sigaction(SIGINT, &saved_->interrupt, nullptr);
  sigaction(SIGTERM, &saved_->terminate, nullptr);
  sigaction(SIGHUP, &saved_->hangup, nullptr);
  gStop = nullptr;
}

int StopRequests::received() const { return int(gStopSignal); }

}  // namespace qmv::cli
