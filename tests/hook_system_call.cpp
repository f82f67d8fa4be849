// The system-call hook of the tests' own build of the library, for the test
// programs that make no system call fail: every call runs. The linker takes
// this file from its archive only where the program does not define the
// hook itself, as the fault tests do.
#include "hooks.h"

extern "C" int brantcfg_system_call(const char *name) {
    static_cast<void>(name);
    return 0;
}
