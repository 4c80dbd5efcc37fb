// The command-line tool's dealings with its process and console: arguments, the terminal, and requests
// to stop (Ctrl-C, a termination signal, a closed console window). Each platform's half is its own file
// (console_posix.cpp, console_windows.cpp).
#pragma once

#include <memory>
#include <string>
#include <vector>

namespace qmv::cli {

class BatchStop;

// Once, first thing in main: a write to a closed pipe or past a file-size limit then fails with an
// error the writer handles, instead of ending the process with half-written files.
void prepareProcess();

// The program's arguments as UTF-8, however the system hands them over.
std::vector<std::string> utf8Arguments(int argc, char** argv);

// Whether standard error is a console a person watches (a progress bar is then worth drawing).
bool stderrIsTerminal();

// After a failed write to standard output: true when the reader went away (`| head`), which only ends
// the printing; false for a real output error.
bool stdoutReaderGone();

// While one lives, a stop request from outside raises stop's request, as the Stop button does.
class StopRequests {
 public:
  explicit StopRequests(BatchStop& stop);
  ~StopRequests();
  StopRequests(const StopRequests&) = delete;
  StopRequests& operator=(const StopRequests&) = delete;

  // The signal number of the request that came (SIGINT for Ctrl-C, SIGTERM for a termination or a
  // closed console), or 0; the exit status is 128 plus it.
  int received() const;

 private:
  struct Saved;
  std::unique_ptr<Saved> saved_;
};

}  // namespace qmv::cli
