// XvidLibrary: the seam to the Xvid decoder's two entry points, and its run-time-loaded implementation.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace qmv {

// Signature shared by xvid_global and xvid_decore.
using XvidEntryPoint = int (*)(void* handle, int operation, void* param1, void* param2);

inline constexpr const char kXvidGlobalSymbol[] = "xvid_global";
inline constexpr const char kXvidDecoreSymbol[] = "xvid_decore";

struct XvidLoadResult {
  bool ok = false;
  bool libraryMissing = false;              // the library file could not be loaded
  std::vector<std::string> missingSymbols;  // entry points the loaded library lacks, in binding order
};

// How a failed load is told to the user: the text and the caption of its message box.
struct XvidLoadMessage {
  std::string text;
  std::string caption;
};
// "xvidcore.dll not found!" / "Error!" for a missing library, "<symbol>() not found" / "Error" for a
// missing entry point (the first in binding order); nullopt for a load that succeeded.
std::optional<XvidLoadMessage> loadFailureMessage(const XvidLoadResult& load);

// The library as the video decoder sees it. Tests substitute a fake that counts what it creates and destroys.
class XvidLibrary {
 public:
  virtual ~XvidLibrary() = default;
  // Loads the library if it is not loaded yet; global and decore may be called only after an ok result.
  virtual XvidLoadResult load() = 0;
  virtual int global(void* handle, int operation, void* param1, void* param2) = 0;
  virtual int decore(void* handle, int operation, void* param1, void* param2) = 0;
};

// The real library, opened on the first load and closed on destruction (library_module.h).
class DynamicXvidLibrary final : public XvidLibrary {
 public:
  // The platform's name of the library (library_module_posix.cpp, library_module_windows.cpp).
  static const char* const kDefaultFileName;

  explicit DynamicXvidLibrary(std::string fileName = kDefaultFileName);
  ~DynamicXvidLibrary() override;
  DynamicXvidLibrary(DynamicXvidLibrary&& other) noexcept;
  DynamicXvidLibrary& operator=(DynamicXvidLibrary&& other) noexcept;
  DynamicXvidLibrary(const DynamicXvidLibrary&) = delete;
  DynamicXvidLibrary& operator=(const DynamicXvidLibrary&) = delete;

  // A failed file load is retried on the next call; a loaded library that lacks entry points stays loaded
  // and keeps reporting them.
  XvidLoadResult load() override;
  int global(void* handle, int operation, void* param1, void* param2) override;
  int decore(void* handle, int operation, void* param1, void* param2) override;

 private:
  struct ModuleCloser {
    void operator()(void* module) const;
  };
  using Module = std::unique_ptr<void, ModuleCloser>;

  void bindEntryPoints();

  std::string fileName_;
  Module module_;
  XvidEntryPoint global_ = nullptr;
  XvidEntryPoint decore_ = nullptr;
  std::vector<std::string> missingSymbols_;
};

}  // namespace qmv
