#include "host/loaded_library.h"

#include <dlfcn.h>

#include <stdexcept>

namespace orv::testing {

template <typename F>
F LoadedLibrary::Resolve(const char* name) const {
  void* address = Symbol(name);
  if (address == nullptr) throw std::runtime_error(std::string("missing export ") + name);
  return reinterpret_cast<F>(address);
}

LoadedLibrary::LoadedLibrary() : handle_(::dlopen(ORV_LIBRARY_PATH, RTLD_NOW | RTLD_LOCAL)) {
  if (handle_ == nullptr) throw std::runtime_error(::dlerror());
  Initialize = Resolve<decltype(Initialize)>("Initialize");
  Start = Resolve<decltype(Start)>("Start");
  Stop = Resolve<decltype(Stop)>("Stop");
  Finalize = Resolve<decltype(Finalize)>("Finalize");
  ChangeConfigure = Resolve<decltype(ChangeConfigure)>("ChangeConfigure");
  QueryConfigure = Resolve<decltype(QueryConfigure)>("QueryConfigure");
  NotifyEvent = Resolve<decltype(NotifyEvent)>("NotifyEvent");
}

LoadedLibrary::~LoadedLibrary() { ::dlclose(handle_); }

void* LoadedLibrary::Symbol(const char* name) const { return ::dlsym(handle_, name); }

uint32_t LoadedLibrary::SetString(uint32_t item, const std::u16string& value) const {
  ConfigStringBuffer request{const_cast<char16_t*>(value.c_str()), nullptr};
  return ChangeConfigure(item, &request);
}

}  // namespace orv::testing
