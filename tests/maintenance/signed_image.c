/* The code of the DLL that the Windows signature tests sign. */
__declspec(dllexport) int OrvSignedImageAnswer(void) { return 42; }
