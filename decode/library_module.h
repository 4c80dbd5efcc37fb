// A shared library loaded at run time, each platform's half its own file (library_module_posix.cpp:
// dlopen; library_module_windows.cpp: LoadLibrary).
#pragma once

#include <string>

namespace qmv::library_module {

// The loaded library, or null when it cannot be loaded.
void* open(const std::string& fileName);
// The address of an exported symbol, or null.
void* symbol(void* module, const char* name);
void close(void* module);

}  // namespace qmv::library_module
