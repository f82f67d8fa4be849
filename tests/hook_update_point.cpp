// The update hook of the tests' own build of the library, for the test
// programs that change nothing under an update: it does nothing. The linker
// takes this file from its archive only where the program does not define
// the hook itself, as the writers' tests do.
#include "hooks.h"

extern "C" void brantcfg_update_point(int point) { static_cast<void>(point); }
