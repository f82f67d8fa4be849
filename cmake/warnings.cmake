# brantcfg_warnings(target): the warning set every target of the project is built with.
function(brantcfg_warnings target)
  if(MSVC)
    target_compile_options(${target} PRIVATE /W4 $<$<BOOL:${BRANTCFG_WERROR}>:/WX>)
  else()
    target_compile_options(${target} PRIVATE -Wall -Wextra -Wpedantic
                           $<$<BOOL:${BRANTCFG_WERROR}>:-Werror>)
  endif()
endfunction()
