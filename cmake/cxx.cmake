# brantcfg::cxx: the header-only C++ layer brantcfg.hpp as a target. It
# brings brantcfg::brantcfg and the header's C++17 requirement to whoever
# links it, so a C++ program set to an older standard is raised to C++17 (or
# stops at configure when the compiler has no C++17). C programs link
# brantcfg::brantcfg alone and need nothing of C++.
add_library(brantcfg_cxx INTERFACE)
add_library(brantcfg::cxx ALIAS brantcfg_cxx)
target_link_libraries(brantcfg_cxx INTERFACE brantcfg)
target_compile_features(brantcfg_cxx INTERFACE cxx_std_17)
set_target_properties(brantcfg_cxx PROPERTIES EXPORT_NAME cxx)
