#include "host/loaded_library.h"

#ifdef _WIN32
#define WIN32_LEAN_AND_MEAN
#include <windows.h>
#else
#include <dlfcn.h>
#endif

#include <stdexcept>

namespace orv::testing {

template <typename F>
F LoadedLibrary::Resolve(const char* name) const {
  void* address = Symbol(name);
  if (address == nullptr) throw std::runtime_error(std::string("missing export ") + name);
  return reinterpret_cast<F>(address);
}

#ifdef _WIN32
// ORV_LIBRARY_PATH is the build machine's path of Orv.dll; wine reaches "/"
// paths through its drive Z:.
LoadedLibrary::LoadedLibrary() : handle_(::LoadLibraryA("Z:" ORV_LIBRARY_PATH)) {
  if (handle_ == nullptr) {
    throw std::runtime_error("LoadLibrary failed: " + std::to_string(::GetLastError()));
  }
#else
LoadedLibrary::LoadedLibrary() : handle_(::dlopen(ORV_LIBRARY_PATH, RTLD_NOW | RTLD_LOCAL)) {
  if (handle_ == nullptr) throw std::runtime_error(::dlerror());
#endif
  Initialize = Resolve<decltype(Initialize)>("Initialize");
  Start = Resolve<decltype(Start)>("Start");
  Stop = Resolve<decltype(Stop)>("Stop");
  Finalize = Resolve<decltype(Finalize)>("Finalize");
  ChangeConfigure = Resolve<decltype(ChangeConfigure)>("ChangeConfigure");
  QueryConfigure = Resolve<decltype(QueryConfigure)>("QueryConfigure");
  NotifyEvent = Resolve<decltype(NotifyEvent)>("NotifyEvent");
}

#ifdef _WIN32
LoadedLibrary::~LoadedLibrary() { ::FreeLibrary(static_cast<HMODULE>(handle_)); }

void* LoadedLibrary::Symbol(const char* name) const {
  return reinterpret_cast<void*>(::GetProcAddress(static_cast<HMODULE>(handle_), name));
}
#else
LoadedLibrary::~LoadedLibrary() { ::dlclose(handle_); }

void* LoadedLibrary::Symbol(const char* name) const { return ::dlsym(handle_, name); }
#endif

uint32_t LoadedLibrary::SetString(uint32_t item, const std::u16string& value) const {
  ConfigStringBuffer request{const_cast<char16_t*>(value.c_str()), nullptr};
  return ChangeConfigure(item, &request);
}

}  // namespace orv::testing
