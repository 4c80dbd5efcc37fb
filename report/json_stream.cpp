// JsonStream: one JSON document written to a file piece by piece, in the layout of nlohmann-json's dump(2).
#include "report/json_stream.h"

#include <cerrno>

namespace qmv {
namespace {

constexpr std::size_t kFlushBytes = std::size_t(1) << 20;

std::string dumpScalar(const Json& value) {
  return value.dump(-1, ' ', false, Json::error_handler_t::replace);
}

std::string indent(std::size_t depth) { return std::string(2 * depth, ' '); }

}  // namespace

JsonStream::JsonStream(std::FILE* file) : file_(file) {
  if (!file_) error_ = EIO;
}

JsonStream::~JsonStream() {
  if (file_) std::fclose(file_);
}

void JsonStream::next(std::string_view key) {
  if (!open_.empty()) {
    write(open_.back().empty ? "\n" : ",\n");
    open_.back().empty = false;
    write(indent(open_.size()));
  }
  if (!key.empty()) {
    write(dumpScalar(Json(std::string(key))));
    write(": ");
  }
}

void JsonStream::open(std::string_view key, char bracket) {
  next(key);
  write(std::string_view(&bracket, 1));
  open_.push_back(Level{bracket == '{' ? '}' : ']', true});
}

void JsonStream::close() {
  if (open_.empty()) return;
  const Level level = open_.back();
  open_.pop_back();
  if (!level.empty) write("\n" + indent(open_.size()));
  write(std::string_view(&level.closing, 1));
}

void JsonStream::put(std::string_view key, const Json& value) {
  next(key);
  write(layout(value, open_.size()));
}

void JsonStream::putMembers(const Json& object) {
  for (const auto& [key, value] : object.items()) put(key, value);
}

void JsonStream::putLine(const Json& object) {
  next({});
  std::string text = "{";
  for (const auto& [key, value] : object.items()) {
    if (text.size() > 1) text += ", ";
    text += dumpScalar(Json(std::string(key))) + ": " + dumpScalar(value);
  }
  write(text + "}");
}

std::string JsonStream::layout(const Json& value, std::size_t depth) const {
  if (!value.is_structured() || value.empty()) return dumpScalar(value);
  const bool object = value.is_object();
  std::string text(1, object ? '{' : '[');
  bool first = true;
  for (const auto& [key, member] : value.items()) {
    text += first ? "\n" : ",\n";
    first = false;
    text += indent(depth + 1);
    if (object) text += dumpScalar(Json(std::string(key))) + ": ";
    text += layout(member, depth + 1);
  }
  return text + "\n" + indent(depth) + (object ? '}' : ']');
}

void JsonStream::write(std::string_view text) {
  buffer_ += text;
  if (buffer_.size() >= kFlushBytes) flush();
}

void JsonStream::flush() {
  if (file_ && error_ == 0 && !buffer_.empty() &&
      std::fwrite(buffer_.data(), 1, buffer_.size(), file_) != buffer_.size())
    error_ = errno != 0 ? errno : EIO;
  buffer_.clear();
}

bool JsonStream::finish() {
  while (!open_.empty()) close();
  write("\n");
  flush();
  if (file_ && std::fclose(file_) != 0 && error_ == 0) error_ = errno != 0 ? errno : EIO;
  file_ = nullptr;
  return error_ == 0;
}

}  // namespace qmv
