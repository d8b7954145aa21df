// Shared libraries on POSIX systems: dlopen and dlsym.
#include "platform/SharedLibrary.h"

#include <dlfcn.h>

std::unique_ptr<TSharedLibrary> TSharedLibrary::Load(const std::string& AFileName) {
  // RTLD_NODELETE: the library is never unmapped (see the header); nothing
  // closes the handle.
  void* handle = dlopen(AFileName.c_str(), RTLD_NOW | RTLD_LOCAL | RTLD_NODELETE);
  if (!handle) return nullptr;
  return std::make_unique<TSharedLibrary>(TKey{}, handle);
}

void* TSharedLibrary::Symbol(const char* AName) const {
  return dlsym(Handle, AName);
}
