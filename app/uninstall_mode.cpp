#include "modes.h"

#include "startup.h"

// The uninstall steps are not built yet: the mode ends at once with 0.
void runUninstallMode()
{
    exitProcess(0);
}
