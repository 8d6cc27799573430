#include "update_controller.h"

// The update run is not built yet: a tick has nothing to move on.
LRESULT onTimer()
{
    return 0;
}
