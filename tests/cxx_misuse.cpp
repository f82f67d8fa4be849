// Never built: ctest compiles this file with one of the macros below and
// checks that brantcfg.hpp stops the compilation with its own message.
//   BRANTCFG_MISUSE_STANDARD  (compiled as C++14) the header needs C++17
//   BRANTCFG_MISUSE_GET       get<T> of a type it does not read
//   BRANTCFG_MISUSE_SET       set of a type it does not write
#include <brantcfg.hpp>

int main() {
#if defined(BRANTCFG_MISUSE_GET)
    return brantcfg::get<long double>("a.ini", "s", "k") ? 0 : 1;
#elif defined(BRANTCFG_MISUSE_SET)
    return brantcfg::set("a.ini", "s", "k", 'c') ? 0 : 1;
#else
    return 0;
#endif
}
