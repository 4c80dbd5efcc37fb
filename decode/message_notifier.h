// The host's way of showing the few messages the core has (the decoder library's load failures).
#pragma once

#include <functional>
#include <string>

namespace qmv {

// text, caption. The GUI shows a modal warning box, the command-line tool prints a line, tests capture.
using MessageNotifier = std::function<void(const std::string& text, const std::string& caption)>;

// Installs the process's notifier (none: messages go to stderr). Returns the previous one.
MessageNotifier setMessageNotifier(MessageNotifier notifier);
void notifyMessage(const std::string& text, const std::string& caption);

}  // namespace qmv
