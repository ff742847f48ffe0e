// Process entry. The console paths and the window path are filled in by the
// entry's own module; until then the program only reports that it is a stub.

#include <windows.h>

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) { return 1; }
