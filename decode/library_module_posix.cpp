// Shared libraries on POSIX: dlopen with every symbol bound at once and kept out of the global namespace.
#include <dlfcn.h>

#include "decode/library_module.h"
#include "decode/xvid_library.h"

namespace qmv {

const char* const DynamicXvidLibrary::kDefaultFileName = "libxvidcore.so.4";

namespace library_module {

void* open(const std::string& fileName) { return dlopen(fileName.c_str(), RTLD_NOW | RTLD_LOCAL); }

void* symbol(void* module, const char* name) { return dlsym(module, name); }

void close(void* module) { dlclose(module); }

}  // namespace library_module
}  // namespace qmv
