// libOrv.so loaded with dlopen, as a host loads it, with its exports resolved.
#ifndef ORV_TESTS_HOST_LOADED_LIBRARY_H_
#define ORV_TESTS_HOST_LOADED_LIBRARY_H_

#include <orv/orv.h>

#include <string>

namespace orv::testing {

class LoadedLibrary {
 public:
  // Loads the library under test (its path comes from the build).
  LoadedLibrary();
  ~LoadedLibrary();
  LoadedLibrary(const LoadedLibrary&) = delete;
  LoadedLibrary& operator=(const LoadedLibrary&) = delete;

  // Address of an exported symbol, or null.
  void* Symbol(const char* name) const;

  decltype(&::Initialize) Initialize;
  decltype(&::Start) Start;
  decltype(&::Stop) Stop;
  decltype(&::Finalize) Finalize;
  decltype(&::ChangeConfigure) ChangeConfigure;
  decltype(&::QueryConfigure) QueryConfigure;
  decltype(&::NotifyEvent) NotifyEvent;

  uint32_t SetString(uint32_t item, const std::u16string& value) const;

 private:
  template <typename F>
  F Resolve(const char* name) const;

  void* handle_;
};

}  // namespace orv::testing

#endif  // ORV_TESTS_HOST_LOADED_LIBRARY_H_
