// The process-wide message notifier: installed by the host, stderr when none is installed.
#include "decode/message_notifier.h"

#include <cstdio>
#include <mutex>
#include <utility>

namespace qmv {
namespace {

std::mutex& notifierMutex() {
  static std::mutex mutex;
  return mutex;
}

MessageNotifier& installedNotifier() {
  static MessageNotifier notifier;
  return notifier;
}

}  // namespace

MessageNotifier setMessageNotifier(MessageNotifier notifier) {
  std::lock_guard<std::mutex> lock(notifierMutex());
  return std::exchange(installedNotifier(), std::move(notifier));
}

void notifyMessage(const std::string& text, const std::string& caption) {
  MessageNotifier notifier;
  {
    std::lock_guard<std::mutex> lock(notifierMutex());
    notifier = installedNotifier();
  }
  // Called outside the lock: a modal box may wait on the user for a long time.
  if (notifier) {
    notifier(text, caption);
  } else {
    std::fprintf(stderr, "%s: %s\n", caption.c_str(), text.c_str());
  }
}

}  // namespace qmv
