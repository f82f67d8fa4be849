// The hooks the tests' own build of the library calls (it is compiled with
// BRANTCFG_TEST_SEAMS; the library users get calls neither). A test program
// that defines one replaces the do-nothing default of brantcfg_test_hooks.
#ifndef BRANTCFG_TEST_HOOKS_H
#define BRANTCFG_TEST_HOOKS_H

// Asked by the POSIX layer before each system call, by the call's name
// ("openat", "fsync", "close", ...): 0 lets the call run, any other value
// makes it fail with that errno value.
extern "C" int brantcfg_system_call(const char *name);

// Called when an update reaches one of the points of
// brantcfg::detail::update_point.
extern "C" void brantcfg_update_point(int point);

#endif  // BRANTCFG_TEST_HOOKS_H
