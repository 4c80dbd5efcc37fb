// Shared libraries on Windows: LoadLibraryW, from the program's folder or wherever Windows looks for DLLs.
#include <windows.h>

#include "decode/library_module.h"
#include "decode/xvid_library.h"
#include "recording/windows_text.h"

namespace qmv {

const char* const DynamicXvidLibrary::kDefaultFileName = "xvidcore.dll";

namespace library_module {

void* open(const std::string& fileName) {
  return reinterpret_cast<void*>(LoadLibraryW(windows::widen(fileName).c_str()));
}

void* symbol(void* module, const char* name) {
  // FARPROC is a function pointer; the caller casts the address to the entry point's own type.
  return reinterpret_cast<void*>(GetProcAddress(static_cast<HMODULE>(module), name));
}

void close(void* module) { FreeLibrary(static_cast<HMODULE>(module)); }

}  // namespace library_module
}  // namespace qmv
