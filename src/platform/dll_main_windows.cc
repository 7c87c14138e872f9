// Orv.dll's entry point: the system calls it, under its loader lock, when the
// library is loaded and unloaded.
#include "platform/module_hold.h"
#include "platform/windows_file.h"

extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID reserved) {
  // A non-null reserved at unload: the process is ending, its other threads
  // are gone, and the destructors that run next must not wait for them.
  if (reason == DLL_PROCESS_DETACH && reserved != nullptr) orv::NoteProcessEnding();
  return TRUE;
}
