// The calls that create an output at its name and put it in place, each platform's own
// (output_name_posix.cpp, output_name_windows.cpp). Names are UTF-8; failures are -1 or an errno value,
// with errno set, so that OutputFile words every message the same way on both.
#pragma once

#include <string>

namespace qmv::output_name {

// What is at a name now, without following a link there (a link counts as a file).
enum class Holds { kNothing, kFile, kFolder, kDevice };
Holds lookAt(const std::string& path);

// A new regular file at path, only if nothing at all is there (a dangling link too: EEXIST); nothing
// planted at the name is followed. A descriptor, or -1.
int createNew(const std::string& path);
// The existing character device at path, opened for writing; a descriptor, or -1.
int openDevice(const std::string& path);
// A new file under an unpredictable short name in path's folder (".qmv2avi-XXXXXX"), with the
// permissions an ordinary creation gives; its name in 'name'. A descriptor, or -1.
int createBeside(const std::string& path, std::string& name);

// Renames from to to, over whatever is at to (a link itself, never its target); 0 or an errno value.
int replace(const std::string& from, const std::string& to);
// Renames from to to only while nothing is at to; 0 or an errno value (EEXIST when something is).
int place(const std::string& from, const std::string& to);
// Removes the file at path; 0 or an errno value.
int remove(const std::string& path);

}  // namespace qmv::output_name
