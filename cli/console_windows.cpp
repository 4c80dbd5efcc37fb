// The command-line tool's process and console on Windows: UTF-8 arguments from GetCommandLineW, console
// control events (Ctrl-C, Ctrl-Break, closing the window) as stop requests.
#include <io.h>
#include <windows.h>
// After windows.h, which it needs.
#include <shellapi.h>

#include <atomic>
#include <csignal>
#include <cstdio>

#include "cli/batch_runner.h"
#include "cli/console.h"
#include "recording/windows_text.h"

namespace qmv::cli {
namespace {

// The handler runs on a thread of its own that the system starts; it only raises the request.
std::atomic<BatchStop*> gStop{nullptr};
std::atomic<int> gStopSignal{0};
constexpr DWORD kCloseWaitMs = 4500;

// Set when the conversions are over; closing the console ends the process as soon as the handler
// returns, so the handler waits for it (the system allows a few seconds). Made once; the system
// releases it with the process.
HANDLE finishedEvent() {
  static const HANDLE event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  return event;
}

BOOL WINAPI onConsoleEvent(DWORD event) {
  const bool closing =
      event == CTRL_CLOSE_EVENT || event == CTRL_LOGOFF_EVENT || event == CTRL_SHUTDOWN_EVENT;
  BatchStop* stop = gStop.load();
  if (stop == nullptr) return FALSE;
  gStopSignal.store(closing ? SIGTERM : SIGINT);
  stop->requestStop();
  if (closing && finishedEvent() != nullptr) WaitForSingleObject(finishedEvent(), kCloseWaitMs);
  return TRUE;
}

}  // namespace

void prepareProcess() {
  // Text printed as UTF-8 shows as such in a console.
  SetConsoleOutputCP(CP_UTF8);
}

std::vector<std::string> utf8Arguments(int argc, char** argv) {
  int count = 0;
  wchar_t** wide = CommandLineToArgvW(GetCommandLineW(), &count);
  if (wide == nullptr) return {argv, argv + argc};
  std::vector<std::string> args;
  for (int i = 0; i < count; ++i) args.push_back(windows::narrow(wide[i]));
  LocalFree(wide);
  return args;
}

bool stderrIsTerminal() {
  DWORD mode = 0;
  return GetConsoleMode(GetStdHandle(STD_ERROR_HANDLE), &mode) != 0;
}

bool stdoutReaderGone() {
  const HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
  if (GetFileType(out) != FILE_TYPE_PIPE) return false;
  DWORD written = 0;
  if (WriteFile(out, "", 0, &written, nullptr)) return false;
  const DWORD code = GetLastError();
  return code == ERROR_NO_DATA || code == ERROR_BROKEN_PIPE;
}

struct StopRequests::Saved {};

StopRequests::StopRequests(BatchStop& stop) {
  gStopSignal.store(0);
  if (finishedEvent() != nullptr) ResetEvent(finishedEvent());
  gStop.store(&stop);
  SetConsoleCtrlHandler(onConsoleEvent, TRUE);
}

StopRequests::~StopRequests() {
  gStop.store(nullptr);
  if (finishedEvent() != nullptr) SetEvent(finishedEvent());
  SetConsoleCtrlHandler(onConsoleEvent, FALSE);
}

int StopRequests::received() const { return gStopSignal.load(); }

}  // namespace qmv::cli
