# kv_warnings: the project's warning set, linked PRIVATE by each of its targets.
add_library(kv_warnings INTERFACE)
target_compile_options(kv_warnings INTERFACE -Wall -Wextra -Wpedantic -Wshadow -Wconversion
  -Wno-sign-conversion -Wformat=2 $<$<BOOL:${KV_WERROR}>:-Werror>)
