// Shared libraries on Windows: LoadLibraryA and GetProcAddress.
#include "platform/SharedLibrary.h"

#include <windows.h>

std::unique_ptr<TSharedLibrary> TSharedLibrary::Load(const std::string& AFileName) {
  // The module is never freed (see the header).
  HMODULE handle = LoadLibraryA(AFileName.c_str());
  if (!handle) return nullptr;
  return std::make_unique<TSharedLibrary>(TKey{}, handle);
}

void* TSharedLibrary::Symbol(const char* AName) const {
  // GetProcAddress answers a function pointer; the caller casts it back to
  // the function's own type.
  return reinterpret_cast<void*>(GetProcAddress(static_cast<HMODULE>(Handle), AName));
}
