// The CLI as a child process that a test waits on and signals: for what needs a real process (signals,
// exit statuses, resource limits, files that change under a running conversion).
#pragma once

#include <sys/resource.h>
#include <sys/types.h>

#include <chrono>
#include <string>
#include <vector>

namespace qmv::test {

class CliProcess {
 public:
  // Starts qmv2avi-cli with args, stdin from /dev/null, stdout and stderr into scratch/stdout.txt and
  // scratch/stderr.txt (scratch ends in '/'). fileSizeLimit > 0 sets RLIMIT_FSIZE in the child.
  CliProcess(std::vector<std::string> args, const std::string& scratch, rlim_t fileSizeLimit = 0);
  // Kills and reaps a child that still runs, and removes the two output files.
  ~CliProcess();
  CliProcess(const CliProcess&) = delete;
  CliProcess& operator=(const CliProcess&) = delete;

  // True once every path exists, as itself or (an output being written) under a temporary name of it; false
  // when the timeout passes first.
  bool waitForFiles(const std::vector<std::string>& paths,
                    std::chrono::milliseconds timeout = std::chrono::seconds(30)) const;
  // Waits for the paths, lets the work run on a little so that it is well under way, then sends signal.
  void signalOnceWritten(const std::vector<std::string>& paths, int signal);
  void signal(int signal);

  // The exit status, or -1 when the child ended by a signal (endSignal then names it) or did not start.
  int wait();
  int endSignal() const { return endSignal_; }

  std::string out() const;
  std::string err() const;

 private:
  std::string out_, err_;
  pid_t pid_ = -1;
  int endSignal_ = 0;
};

// For tests that stop a re-encode mid-way: why they cannot run here (no Xvid library, no ffv1
// encoder), or empty when they can.
std::string slowReencodeUnavailable();
// A recording that re-encoding with ffv1 takes a while over (704 x 576 at 30 fps, `seconds` long),
// so that a signal lands mid-way; false when it cannot be written.
bool writeSlowReencodeRecording(const std::string& path, int seconds);

}  // namespace qmv::test
