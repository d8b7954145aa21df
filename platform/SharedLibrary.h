#pragma once
// A shared library loaded while the program runs, for a dependency only some
// runs need (the TLS library): a program that never asks for it never maps
// it, so its memory stays as it was.
#include <memory>
#include <string>

class TSharedLibrary {
 public:
  // The library of that file name (searched where the system searches), or
  // null when it cannot be loaded. A loaded library stays mapped until the
  // process ends, even after this object is gone: libraries register exit
  // handlers that must still find their code.
  static std::unique_ptr<TSharedLibrary> Load(const std::string& AFileName);
  ~TSharedLibrary() = default;
  TSharedLibrary(const TSharedLibrary&) = delete;
  TSharedLibrary& operator=(const TSharedLibrary&) = delete;

  // The address of an exported function or object, null when there is none.
  void* Symbol(const char* AName) const;

 private:
  // Only Load makes one.
  struct TKey {
    explicit TKey() = default;
  };

 public:
  TSharedLibrary(TKey, void* AHandle) : Handle(AHandle) {}

 private:
  void* Handle;
};

// Sets AField to the library's function AName; false when it has none.
template <class F>
bool Bind(F& AField, const TSharedLibrary& ALibrary, const char* AName) {
  AField = reinterpret_cast<F>(ALibrary.Symbol(AName));
  return AField != nullptr;
}
