// The library's life in its host process. Platform-internal.
#ifndef ORV_PLATFORM_MODULE_HOLD_H_
#define ORV_PLATFORM_MODULE_HOLD_H_

namespace orv {

// From HoldThisModule to ReleaseThisModule, a host's unload of the library
// leaves it loaded (the next load finds the same engine). Windows runs a
// library's destructors under its loader lock, where no thread can end: a
// started engine unloaded there would hang joining its threads, or unmap the
// code they run. On Linux the unload runs the destructors, which join the
// threads: both do nothing. A second hold without a release is the same hold.
// Release only while the host holds the library too (from Stop, say): never
// from a destructor at unload.
void HoldThisModule();
void ReleaseThisModule();

// True once the process is ending with the library still loaded: Windows has
// then already ended every other thread (not the engine: the system, at
// ExitProcess), so destructors must not wait for them or take the locks they
// held. Always false on Linux, where exit runs destructors first.
bool ProcessIsEnding();
// Said by the library's entry point when the system unloads it at process end.
void NoteProcessEnding();

}  // namespace orv

#endif  // ORV_PLATFORM_MODULE_HOLD_H_
