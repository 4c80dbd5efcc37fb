// JsonStream: one JSON document written to a file piece by piece, in the layout of nlohmann-json's dump(2).
#pragma once

#include <cstdio>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <string_view>
#include <vector>

namespace qmv {

using Json = nlohmann::ordered_json;

// A report's frame map can hold hundreds of thousands of samples: as one nlohmann value it would take
// several times the memory of its text. Here objects and arrays are opened and closed around values
// that nlohmann-json dumps (so strings are escaped, and bytes that are not UTF-8 become U+FFFD, in one
// place), and a long array is written one element at a time.
class JsonStream {
 public:
  explicit JsonStream(std::FILE* file);  // takes the stream over; nullptr is an error (EIO)
  ~JsonStream();
  JsonStream(const JsonStream&) = delete;
  JsonStream& operator=(const JsonStream&) = delete;

  // The errno of the first failure, 0 while all went well.
  int error() const { return error_; }

  // Opens an object ('{') or an array ('[') as the next member (key) or element (key empty).
  void open(std::string_view key, char bracket);
  void close();
  // The next member or element, laid out over lines as dump(2) would at this depth.
  void put(std::string_view key, const Json& value);
  // Each member of object as a member of the object open here.
  void putMembers(const Json& object);
  // The next element on a line of its own: {"a": 1, "b": "x"}.
  void putLine(const Json& object);
  // Closes what is still open and the file; false (see error()) when anything failed.
  bool finish();

 private:
  void next(std::string_view key);
  void write(std::string_view text);
  void flush();
  std::string layout(const Json& value, std::size_t depth) const;

  struct Level {
    char closing;
    bool empty;
  };
  std::FILE* file_;
  int error_ = 0;
  std::string buffer_;
  std::vector<Level> open_;
};

}  // namespace qmv
