# kv_warnings(target): the project's warning set, private to each target.
function(kv_warnings target)
  target_compile_options(${target} PRIVATE -Wall -Wextra -Wpedantic -Wshadow -Wconversion
    -Wno-sign-conversion -Wformat=2 $<$<BOOL:${KV_WERROR}>:-Werror>)
endfunction()
