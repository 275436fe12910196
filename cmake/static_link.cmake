# Start-up of the bridge. The browser starts one bridge process per connection, and with shared
# libraries most of that start is the dynamic loader mapping and relocating libcrypto (about 20,000
# relocations), Boost.JSON, utf8proc and libstdc++. Linked statically on Linux the bridge starts
# about as fast as /bin/true; on Apple platforms, where executables cannot be fully static, the
# third-party libraries are still linked from their archives.
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

# The bridge executable itself: fully static where the C library allows it. This gives up address
# randomisation of the executable's own code on Linux (a static PIE keeps it, at the price of
# relocating libcrypto again at every start), which is acceptable for a test and demo platform;
# the shipping platform links dynamically against the system library.
function(varquin_link_statically target)
  if(NOT VARQUIN_STATIC_LINK)
    return()
  endif()
  if(APPLE)
    target_link_options(${target} PRIVATE -Wl,-dead_strip)
  else()
    target_link_options(${target} PRIVATE -static -Wl,--gc-sections)
  endif()
endfunction()
