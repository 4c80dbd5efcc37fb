// The run-time-loaded Xvid library: module handle ownership and entry-point binding.
#include "decode/xvid_library.h"

#include <utility>

#include "decode/library_module.h"

namespace qmv {

std::optional<XvidLoadMessage> loadFailureMessage(const XvidLoadResult& load) {
  if (load.libraryMissing) return XvidLoadMessage{"xvidcore.dll not found!", "Error!"};
  // xvid_global is bound first, so it is the one reported when both are missing.
  if (!load.missingSymbols.empty())
    return XvidLoadMessage{load.missingSymbols.front() + "() not found", "Error"};
  return std::nullopt;
}
namespace {

XvidEntryPoint findSymbol(void* module, const char* name) {
  return reinterpret_cast<XvidEntryPoint>(library_module::symbol(module, name));
}

// What the library returns for a general fault; used when an entry point is called without being bound.
constexpr int kLibraryFail = -1;

}  // namespace

void DynamicXvidLibrary::ModuleCloser::operator()(void* module) const { library_module::close(module); }

DynamicXvidLibrary::DynamicXvidLibrary(std::string fileName) : fileName_(std::move(fileName)) {}

DynamicXvidLibrary::~DynamicXvidLibrary() = default;

DynamicXvidLibrary::DynamicXvidLibrary(DynamicXvidLibrary&& other) noexcept
    : fileName_(std::move(other.fileName_)),
      module_(std::move(other.module_)),
      global_(std::exchange(other.global_, nullptr)),
      decore_(std::exchange(other.decore_, nullptr)),
      missingSymbols_(std::move(other.missingSymbols_)) {}

DynamicXvidLibrary& DynamicXvidLibrary::operator=(DynamicXvidLibrary&& other) noexcept {
  if (this != &other) {
    fileName_ = std::move(other.fileName_);
    module_ = std::move(other.module_);
    global_ = std::exchange(other.global_, nullptr);
    decore_ = std::exchange(other.decore_, nullptr);
    missingSymbols_ = std::move(other.missingSymbols_);
  }
  return *this;
}

// The one place where entry points are bound; every missing one is recorded, not just the first.
void DynamicXvidLibrary::bindEntryPoints() {
  struct Binding {
    const char* name;
    XvidEntryPoint DynamicXvidLibrary::*target;
  };
  static constexpr Binding kBindings[] = {
      {kXvidGlobalSymbol, &DynamicXvidLibrary::global_},
      {kXvidDecoreSymbol, &DynamicXvidLibrary::decore_},
  };
  missingSymbols_.clear();
  for (const Binding& binding : kBindings) {
    this->*binding.target = findSymbol(module_.get(), binding.name);
    if (this->*binding.target == nullptr) missingSymbols_.emplace_back(binding.name);
  }
}

XvidLoadResult DynamicXvidLibrary::load() {
  XvidLoadResult result;
  if (!module_) {
    module_.reset(library_module::open(fileName_));
    if (!module_) {
      result.libraryMissing = true;
      return result;
    }
    bindEntryPoints();
  }
  result.missingSymbols = missingSymbols_;
  result.ok = missingSymbols_.empty();
  return result;
}

int DynamicXvidLibrary::global(void* handle, int operation, void* param1, void* param2) {
  return global_ ? global_(handle, operation, param1, param2) : kLibraryFail;
}

int DynamicXvidLibrary::decore(void* handle, int operation, void* param1, void* param2) {
  return decore_ ? decore_(handle, operation, param1, param2) : kLibraryFail;
}

}  // namespace qmv
