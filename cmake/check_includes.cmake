# The second half of the module fence (cmake/modules.cmake): refuses every include in FILES (a
# ;-list) that could reach a header by a spelling the module's include view does not stop: a path
# with a ".." component (relative to the including file, "../protocol/request.h" finds any module),
# an absolute path, or a name computed by a macro. On success touches STAMP, when given.
#
#   cmake -DFILES="a.cc;b.h" [-DSTAMP=file] -P cmake/check_includes.cmake
set(refused "")
foreach(file IN LISTS FILES)
  file(STRINGS "${file}" lines REGEX "^[ \t]*#[ \t]*include")
  foreach(line IN LISTS lines)
    if(line MATCHES "^[ \t]*#[ \t]*include(_next)?[ \t]*[\"<]([^\">]*)[\">]")
      set(target "${CMAKE_MATCH_2}")
      if(target MATCHES "(^|/)\\.\\.(/|$)" OR target MATCHES "^/")
        string(APPEND refused "\n  ${file}: ${line}")
      endif()
    else()
      string(APPEND refused "\n  ${file}: ${line} (a computed name)")
    endif()
  endforeach()
endforeach()
if(refused)
  message(FATAL_ERROR "Includes must name a header of this module or one it depends on, as "
                      "\"module/header.h\":${refused}")
endif()
if(STAMP)
  file(TOUCH "${STAMP}")
endif()
