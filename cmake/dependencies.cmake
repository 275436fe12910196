# The third-party libraries: Boost.JSON, OpenSSL's libcrypto (Linux: SHA-256; macOS has it in the
# system, CommonCrypto), utf8proc, and GoogleTest for tests.

# macOS with Homebrew: its prefix.
if(APPLE)
  find_program(VARQUIN_BREW brew)
  if(VARQUIN_BREW)
    execute_process(COMMAND ${VARQUIN_BREW} --prefix OUTPUT_VARIABLE varquin_brew_prefix
                    OUTPUT_STRIP_TRAILING_WHITESPACE)
    list(APPEND CMAKE_PREFIX_PATH ${varquin_brew_prefix})
  endif()
endif()

# With a standard library other than the one Debian's Boost binaries were built with (libc++),
# Boost.JSON is compiled into the project from its header-only source form.
if(VARQUIN_BOOST_JSON_SOURCE)
  find_package(Boost 1.81 CONFIG REQUIRED)
  add_library(varquin_boost_json STATIC ${PROJECT_SOURCE_DIR}/third_party/boost_json.cc)
  target_link_libraries(varquin_boost_json PUBLIC Boost::headers)
  add_library(Boost::json ALIAS varquin_boost_json)
else()
  find_package(Boost 1.81 CONFIG REQUIRED COMPONENTS json)
endif()
add_library(varquin_sha256 INTERFACE)  # on Apple platforms CommonCrypto, part of libSystem
if(NOT APPLE)
  find_package(OpenSSL REQUIRED COMPONENTS Crypto)
  target_link_libraries(varquin_sha256 INTERFACE OpenSSL::Crypto)
endif()
find_package(PkgConfig REQUIRED)
pkg_check_modules(UTF8PROC REQUIRED IMPORTED_TARGET libutf8proc)
varquin_static_utf8proc()

# GoogleTest from its sources (Debian ships them in /usr/src/googletest), built with the project's
# compiler and standard library; otherwise the installed binaries.
if(VARQUIN_BUILD_TESTS OR VARQUIN_BUILD_STRESS)
  if(VARQUIN_GTEST_SOURCE)
    set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
    add_subdirectory(${VARQUIN_GTEST_SOURCE_DIR} ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL
                     SYSTEM)
  else()
    find_package(GTest REQUIRED)
  endif()
endif()
