# Delay-loaded system DLLs for the Windows programs.
#
# kv_delay_load(TARGET DLL...)
#   TARGET imports the functions it uses from each DLL (comctl32, comdlg32, version, ...) through a
#   delay-load table instead of the load-time import table: nothing of the DLL is loaded before the
#   program runs, and it is loaded at the first call, where the program's own DLL search allows
#   (its entry point restricts that to System32 before anything else). Adding a DLL is one more name.
#
# At build time each DLL's .def is made from mingw-w64's import library (every function it names),
# and dlltool turns the .def into a delay-import library, which TARGET links (PRIVATE; a static
# library passes it on to the programs that link it). The linker takes only the functions used.
#
# Run with cmake -P, this file writes one .def: -DNM=nm -DIMPORT_LIB=libX.a -DDLL=X.dll -DDEF=X.def
if(CMAKE_SCRIPT_MODE_FILE)
  execute_process(COMMAND ${NM} --defined-only ${IMPORT_LIB} OUTPUT_VARIABLE symbols RESULT_VARIABLE status)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "${NM} ${IMPORT_LIB} failed")
  endif()
  # Each function of an import library is a member with a code thunk (T name) beside its
  # __imp_name pointer; data exports have the pointer only and cannot be delay-loaded.
  string(REGEX MATCHALL "[\r\n][0-9a-fA-F]+ T [A-Za-z_][A-Za-z0-9_@?$]*" thunks "\n${symbols}")
  set(def "LIBRARY ${DLL}\nEXPORTS\n")
  set(count 0)
  foreach(line IN LISTS thunks)
    string(REGEX REPLACE ".* T " "" name "${line}")
    string(APPEND def "  ${name}\n")
    math(EXPR count "${count} + 1")
  endforeach()
  if(count EQUAL 0)
    message(FATAL_ERROR "no functions in ${IMPORT_LIB}")
  endif()
  file(WRITE ${DEF} "${def}")
  return()
endif()

include_guard(GLOBAL)
set(KV_DELAYLOAD_SCRIPT ${CMAKE_CURRENT_LIST_FILE})
find_program(KV_DLLTOOL NAMES ${CMAKE_C_COMPILER_TARGET}-dlltool x86_64-w64-mingw32-dlltool dlltool REQUIRED)

function(kv_delay_load target)
  foreach(dll IN LISTS ARGN)
    set(lib kv_delay_${dll})
    if(NOT TARGET ${lib})
      find_library(KV_IMPORT_LIB_${dll} NAMES ${dll} REQUIRED)
      set(dir ${PROJECT_BINARY_DIR}/delayload)
      set(archive ${dir}/lib${dll}_delay.a)
      file(MAKE_DIRECTORY ${dir})
      add_custom_command(OUTPUT ${archive}
        COMMAND ${CMAKE_COMMAND} -DNM=${CMAKE_NM} -DIMPORT_LIB=${KV_IMPORT_LIB_${dll}} -DDLL=${dll}.dll
          -DDEF=${dir}/${dll}.def -P ${KV_DELAYLOAD_SCRIPT}
        # dlltool names the library's symbols after the output path: a plain file name keeps the
        # build folder out of them.
        COMMAND ${KV_DLLTOOL} --input-def ${dll}.def --output-delaylib lib${dll}_delay.a --dllname ${dll}.dll
        DEPENDS ${KV_IMPORT_LIB_${dll}} ${KV_DELAYLOAD_SCRIPT}
        BYPRODUCTS ${dir}/${dll}.def
        WORKING_DIRECTORY ${dir}
        COMMENT "Delay-import library for ${dll}.dll"
        VERBATIM)
      add_custom_target(${lib}_archive DEPENDS ${archive})
      add_library(${lib} INTERFACE)
      target_link_libraries(${lib} INTERFACE ${archive})
      add_dependencies(${lib} ${lib}_archive)
    endif()
    target_link_libraries(${target} PRIVATE ${lib})
  endforeach()
endfunction()
