// Runs until it is killed. The test bed starts it first in a fresh Wine prefix so that Wine's
// own background processes start once, from a process whose output goes nowhere, instead of
// from the first test, where they would hold the test runner's output pipes open.
#include <windows.h>

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int)
{
    Sleep(INFINITE);
    return 0;
}
