// The library's load-time entry.
//
// On Windows the loader calls DllMain; on process attach it turns off the
// thread attach/detach notifications, which the library has no use for (it
// starts no thread and keeps no per-thread state).  On Linux and other ELF
// platforms there are no such notifications to turn off: the loader runs the
// static constructors, and the library's process-wide state
// (foundation/ProcessState.h) is released, by its destructor and the
// clean-ups registered with atexit, when the library is unloaded or the
// process exits.
#if defined(_WIN32)
#include <windows.h>

BOOL APIENTRY DllMain(HMODULE hModule, DWORD dwReason, LPVOID /*lpReserved*/) {
  if (dwReason == DLL_PROCESS_ATTACH) DisableThreadLibraryCalls(hModule);
  return TRUE;
}
#endif
