#include "modes.h"

#include "startup.h"

// The update run is not built yet: the mode ends at once, as every update run ends, with 0.
void runUpdateMode(wchar_t*)
{
    exitProcess(0);
}
