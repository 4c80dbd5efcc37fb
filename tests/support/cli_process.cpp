// The CLI as a child process that a test waits on and signals.
#include "support/cli_process.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <thread>

#include "decode/xvid_library.h"
#include "output/output_name.h"
#include "support/cli_run.h"
#include "support/test_files.h"
#include "tools/generator/recording_generator.h"
#include "transcode/compress_options.h"

namespace qmv::test {

namespace fs = std::filesystem;

CliProcess::CliProcess(std::vector<std::string> args, const std::string& scratch, rlim_t fileSizeLimit)
    : out_(scratch + "stdout.txt"), err_(scratch + "stderr.txt") {
  args.insert(args.begin(), cliPath());
  std::vector<char*> argv;
  for (std::string& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  // Between fork and exec the child calls only async-signal-safe functions: the test may run threads.
  pid_ = fork();
  if (pid_ == 0) {
    if (fileSizeLimit > 0) {
      const rlimit limit{fileSizeLimit, fileSizeLimit};
      if (setrlimit(RLIMIT_FSIZE, &limit) != 0) _exit(126);
    }
    const int in = open("/dev/null", O_RDONLY);
    const int out = open(out_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    const int err = open(err_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (in < 0 || out < 0 || err < 0) _exit(126);
    dup2(in, 0), dup2(out, 1), dup2(err, 2);
    execv(argv[0], argv.data());
    _exit(127);
  }
}

CliProcess::~CliProcess() {
  if (pid_ > 0) {
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
  }
  std::error_code ec;
  fs::remove(out_, ec);
  fs::remove(err_, ec);
}

bool CliProcess::waitForFiles(const std::vector<std::string>& paths,
                              std::chrono::milliseconds timeout) const {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (true) {
    bool all = true;
    // An output is written under a temporary name of its own until it is complete.
    for (const std::string& path : paths)
      all = all && (fs::exists(path) || !output_name::temporariesOf(path).empty());
    if (all) return true;
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
}

void CliProcess::signalOnceWritten(const std::vector<std::string>& paths, int signal) {
  waitForFiles(paths);
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  this->signal(signal);
}

void CliProcess::signal(int signal) {
  if (pid_ > 0) kill(pid_, signal);
}

int CliProcess::wait() {
  int raw = 0;
  if (pid_ <= 0 || waitpid(pid_, &raw, 0) != pid_) return -1;
  pid_ = 0;
  if (WIFSIGNALED(raw)) endSignal_ = WTERMSIG(raw);
  return WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
}

std::string CliProcess::out() const { return slurp(out_); }
std::string CliProcess::err() const { return slurp(err_); }

std::string slowReencodeUnavailable() {
  DynamicXvidLibrary xvid;
  if (!xvid.load().ok) return "libxvidcore.so.4 is not loadable here";
  if (!findEncoder("ffv1")) return "no ffv1 encoder";
  return {};
}

bool writeSlowReencodeRecording(const std::string& path, int seconds) {
  gen::BodyPlan plan;
  plan.channels = {{0, 4, 120, -1, 30}};  // 704 x 576 at 30 fps
  plan.seconds = seconds;
  plan.reuseFrames = true;
  return gen::writeRecordingFile(gen::planScenario(plan), path);
}

}  // namespace qmv::test
