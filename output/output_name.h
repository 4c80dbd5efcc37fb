// The calls that create an output at its name and put it in place, each platform's own
// (output_name_posix.cpp, output_name_windows.cpp). Names are UTF-8; failures are -1 or an errno value,
// with errno set, so that OutputFile words every message the same way on both.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace qmv::output_name {

// What is at a name now, without following a link there (a link counts as a file).
enum class Holds { kNothing, kFile, kFolder, kDevice };
Holds lookAt(const std::string& path);

// A new regular file at path, only if nothing at all is there (a dangling link too: EEXIST); nothing
// planted at the name is followed. A descriptor, or -1.
int createNew(const std::string& path);
// The existing character device at path, opened for writing; a descriptor, or -1.
int openDevice(const std::string& path);
// An output is written under a temporary name in its own folder, ".<name>.qmv2avi-XXXXXX.partial" (a long
// name cut to its first 200 bytes; XXXXXX are random letters and digits), and renamed once complete: what
// a killed run leaves is recognisable as unfinished and as which output's.
inline constexpr std::string_view kTemporarySuffix = ".partial";
inline constexpr std::size_t kRandomLetters = 6;
// ".<leaf>.qmv2avi-" for the output named leaf (output_name.cpp, shared).
std::string temporaryPrefix(const std::string& leaf);
// Whether candidate (a name in the output's folder) is one of the temporary names of the output named leaf.
bool isTemporaryName(const std::string& leaf, const std::string& candidate);

// A new file under an unpredictable temporary name of path, in path's folder, with the permissions an
// ordinary creation gives; its name in 'name'. A descriptor, or -1.
int createBeside(const std::string& path, std::string& name);
// The temporary names of path that exist now, each with its folder (nothing followed, nothing opened).
std::vector<std::string> temporariesOf(const std::string& path);
// Writes the file's data through to the disk; 0 or an errno value.
int sync(int fd);

// Renames from to to, over whatever is at to (a link itself, never its target); 0 or an errno value.
int replace(const std::string& from, const std::string& to);
// Renames from to to only while nothing is at to; 0 or an errno value (EEXIST when something is).
int place(const std::string& from, const std::string& to);
// Removes the file at path; 0 or an errno value.
int remove(const std::string& path);

}  // namespace qmv::output_name
