# The module fence holds in every spelling. From staging's include view, the canonical include of a
# module staging may not see ("protocol/request.h") does not compile, while one it may see does (so
# the probe itself is sound); every other spelling of it is refused by the include check.
#
#   cmake -DCXX=... -DFLAGS=... -DINCLUDES=a|b|c -DSOURCE_DIR=... -DWORK=dir -P fence_test.cmake
string(REPLACE "|" ";" includes "${INCLUDES}")
separate_arguments(flags UNIX_COMMAND "${FLAGS}")
list(TRANSFORM includes PREPEND "-I")
file(MAKE_DIRECTORY ${WORK})
set(failures "")

# Sets `result` to whether the command given after it exits with 0.
function(succeeds result)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE status OUTPUT_QUIET ERROR_QUIET)
  if(status EQUAL 0)
    set(${result} TRUE PARENT_SCOPE)
  else()
    set(${result} FALSE PARENT_SCOPE)
  endif()
endfunction()

function(compiles header result)
  file(WRITE ${WORK}/probe.cc "#include \"${header}\"\n")
  succeeds(ok ${CXX} ${flags} -std=c++2b -fsyntax-only ${includes} ${WORK}/probe.cc)
  set(${result} ${ok} PARENT_SCOPE)
endfunction()

function(passes_check line result)
  file(WRITE ${WORK}/spelling.cc "${line}\n")
  succeeds(ok ${CMAKE_COMMAND} -DFILES=${WORK}/spelling.cc -P
           ${SOURCE_DIR}/cmake/check_includes.cmake)
  set(${result} ${ok} PARENT_SCOPE)
endfunction()

compiles("config/config.h" along)
compiles("protocol/request.h" against)
if(NOT along)
  string(APPEND failures "\n  an include along the arrows does not compile: the probe is broken")
endif()
if(against)
  string(APPEND failures "\n  staging compiles #include \"protocol/request.h\"")
endif()

foreach(line IN ITEMS
        "#include \"../protocol/request.h\""
        "#include \"staging/../protocol/request.h\""
        "#  include <../protocol/request.h>"
        "#include \"${SOURCE_DIR}/src/protocol/request.h\""
        "#include PROTOCOL_REQUEST_HEADER")
  passes_check("${line}" passed)
  if(passed)
    string(APPEND failures "\n  the include check lets through: ${line}")
  endif()
endforeach()
passes_check("#include \"staging/paths.h\"" passed)
if(NOT passed)
  string(APPEND failures "\n  the include check refuses a canonical include")
endif()

if(failures)
  message(FATAL_ERROR "The module fence leaks:${failures}")
endif()
