# Compiler flags, and one library per module of src/.

add_library(varquin_warnings INTERFACE)
target_compile_options(varquin_warnings INTERFACE -Wall -Wextra -Wpedantic -Wshadow -Wconversion
                       -Wno-sign-conversion $<$<BOOL:${VARQUIN_WERROR}>:-Werror>)
# GCC 12's optimiser reports the empty alternative of std::expected<void, E> as maybe
# uninitialised, and overlaps in inlined std::string concatenation that cannot happen (GCC bug
# 105329): both false, both gone in GCC 13.
if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU" AND CMAKE_CXX_COMPILER_VERSION VERSION_LESS 13)
  target_compile_options(varquin_warnings INTERFACE -Wno-maybe-uninitialized -Wno-restrict)
endif()

add_library(varquin_sanitizers INTERFACE)
if(VARQUIN_SANITIZE)
  target_compile_options(varquin_sanitizers INTERFACE -fsanitize=address,undefined
                         -fno-sanitize-recover=undefined -fno-omit-frame-pointer)
  target_link_options(varquin_sanitizers INTERFACE -fsanitize=address,undefined)
endif()

# Hardening as distributions build: stack canaries, fortified C library calls, relocations bound
# at start and read-only after, no executable stack. Not under the sanitizers or the fuzzer, which
# check more and do not mix with the fortified calls.
add_library(varquin_hardening INTERFACE)
if(NOT VARQUIN_SANITIZE AND NOT VARQUIN_BUILD_FUZZ)
  target_compile_options(varquin_hardening INTERFACE -fstack-protector-strong
                         $<$<NOT:$<CONFIG:Debug>>:-U_FORTIFY_SOURCE -D_FORTIFY_SOURCE=2>)
  if(NOT APPLE)
    target_link_options(varquin_hardening INTERFACE -Wl,-z,relro -Wl,-z,now -Wl,-z,noexecstack)
  endif()
endif()

# The flags of every target of the project (the fault shim takes the warnings only). The seams
# that let tests race and fail the store at an exact call exist only in builds with tests: the
# release and demo bridges carry none of them.
add_library(varquin_flags INTERFACE)
target_link_libraries(varquin_flags INTERFACE varquin_warnings varquin_sanitizers
                      varquin_hardening)
target_compile_definitions(varquin_flags INTERFACE
                           VARQUIN_TEST_HOOKS=$<BOOL:${VARQUIN_BUILD_TESTS}>)

set(VARQUIN_MODULES "" CACHE INTERNAL "The module libraries")

# Runs cmake/check_includes.cmake over a module's files (a directory of src/ stands for all its
# headers and sources) before the module compiles, and again whenever one of them changes.
function(varquin_fence_includes target)
  set(files "")
  foreach(item IN LISTS ARGN)
    if(IS_DIRECTORY ${PROJECT_SOURCE_DIR}/src/${item})
      file(GLOB found CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/src/${item}/*.h
           ${PROJECT_SOURCE_DIR}/src/${item}/*.cc)
      list(APPEND files ${found})
    else()
      list(APPEND files ${PROJECT_SOURCE_DIR}/src/${item})
    endif()
  endforeach()
  list(REMOVE_DUPLICATES files)
  set(stamp ${CMAKE_CURRENT_BINARY_DIR}/${target}.fence)
  add_custom_command(OUTPUT ${stamp}
                     COMMAND ${CMAKE_COMMAND} "-DFILES=${files}" -DSTAMP=${stamp} -P
                             ${PROJECT_SOURCE_DIR}/cmake/check_includes.cmake
                     DEPENDS ${files} ${PROJECT_SOURCE_DIR}/cmake/check_includes.cmake
                     COMMENT "Checking the includes of ${target}" VERBATIM)
  add_custom_target(${target}_fence DEPENDS ${stamp})
  add_dependencies(${target} ${target}_fence)
endfunction()

# varquin_module(NAME [DIRECTORY dir] [HEADERS root-level headers] SOURCES ... DEPENDS ...)
#
# A library varquin_NAME. Each module sees, by include path, only its own headers and those of
# the modules it depends on: the include directory it publishes holds a link to its own directory
# of src/ (or to its headers at the top of src/) and nothing else. So an include against the
# arrows does not compile, e.g. from staging: fatal error: protocol/request.h: No such file. The
# spellings an include path cannot stop ("../protocol/request.h", an absolute path, a name made by
# a macro) are refused by cmake/check_includes.cmake, which runs before the module compiles.
function(varquin_module name)
  cmake_parse_arguments(PARSE_ARGV 1 arg "" "DIRECTORY" "HEADERS;SOURCES;DEPENDS")
  set(target varquin_${name})
  if(arg_SOURCES)
    add_library(${target} STATIC ${arg_SOURCES})
    set(scope PUBLIC)
  else()
    add_library(${target} INTERFACE)
    set(scope INTERFACE)
  endif()
  set(view ${CMAKE_BINARY_DIR}/module-include/${name})
  file(MAKE_DIRECTORY ${view})
  if(arg_DIRECTORY)
    file(CREATE_LINK ${PROJECT_SOURCE_DIR}/src/${arg_DIRECTORY} ${view}/${arg_DIRECTORY} SYMBOLIC)
  endif()
  foreach(header IN LISTS arg_HEADERS)
    file(CREATE_LINK ${PROJECT_SOURCE_DIR}/src/${header} ${view}/${header} SYMBOLIC)
  endforeach()
  target_include_directories(${target} ${scope} ${view})
  target_link_libraries(${target} ${scope} ${arg_DEPENDS} varquin_flags)
  varquin_fence_includes(${target} ${arg_DIRECTORY} ${arg_HEADERS} ${arg_SOURCES})
  set(VARQUIN_MODULES ${VARQUIN_MODULES} ${target} CACHE INTERNAL "The module libraries")
endfunction()
