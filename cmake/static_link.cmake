# Start-up of the bridge. The browser starts one bridge process per connection, and with shared
# libraries much of that start is the dynamic loader mapping and relocating Boost.JSON, utf8proc,
# libcrypto and libstdc++. Linked as a static PIE on Linux the bridge keeps address randomisation
# and starts about as fast as a fully static one; on Apple platforms, where executables cannot be
# static, the third-party libraries are linked from their archives.
#
# Included before the dependencies are found, because the choice of archives is made there.

set(_varquin_static_default OFF)
if(CMAKE_BUILD_TYPE STREQUAL "Release" AND NOT VARQUIN_SANITIZE)
  set(_varquin_static_default ON)
endif()
option(VARQUIN_STATIC_LINK
       "Link the bridge statically (Linux) or against static third-party libraries (Apple)"
       ${_varquin_static_default})

if(VARQUIN_STATIC_LINK)
  set(Boost_USE_STATIC_LIBS ON)
  set(OPENSSL_USE_STATIC_LIBS ON)
  # A build directory configured without this keeps the shared libcrypto it found then.
  if(OPENSSL_CRYPTO_LIBRARY AND NOT OPENSSL_CRYPTO_LIBRARY MATCHES "\\.a$")
    unset(OPENSSL_CRYPTO_LIBRARY CACHE)
  endif()
endif()

# pkg-config's imported target names the shared utf8proc; point it at the archive instead.
function(varquin_static_utf8proc)
  if(NOT VARQUIN_STATIC_LINK)
    return()
  endif()
  find_library(VARQUIN_UTF8PROC_ARCHIVE NAMES libutf8proc.a HINTS ${UTF8PROC_LIBRARY_DIRS}
               REQUIRED)
  set_property(TARGET PkgConfig::UTF8PROC PROPERTY INTERFACE_LINK_LIBRARIES
                                                   ${VARQUIN_UTF8PROC_ARCHIVE})
endfunction()

# Measured (scripts/bench.sh start-up row): the static PIE starts as fast as the fully static
# executable did (1.3x /bin/true here), the PIE against the shared glibc 0.3 ms slower (1.6x).
set(VARQUIN_LINUX_LINK "static-pie" CACHE STRING
    "Linux release link of the bridge: static-pie, or pie (glibc shared, the rest static)")

# The bridge executable itself, position independent everywhere so that its code and data are
# randomised too (it parses untrusted frames). On Linux either a static PIE or a PIE against the
# shared glibc with every other library linked in; on Apple platforms, where executables cannot
# be static, the third-party libraries come from their archives.
function(varquin_link_statically target)
  if(NOT VARQUIN_STATIC_LINK)
    return()
  endif()
  if(APPLE)
    target_link_options(${target} PRIVATE -Wl,-dead_strip)
  elseif(VARQUIN_LINUX_LINK STREQUAL "static-pie")
    target_link_options(${target} PRIVATE -static-pie -Wl,--gc-sections)
  else()
    target_link_options(${target} PRIVATE -static-libstdc++ -static-libgcc -Wl,--gc-sections)
  endif()
endfunction()
