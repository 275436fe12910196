# What `cmake --install` puts in <prefix>/bin, and, with VARQUIN_EXTENSION_ID, VARQUIN_APP_BUNDLE
# and VARQUIN_USER_DATA set, the registration of the installed bridge with the browsers.
install(TARGETS varquin-browser-bridge varquin-bridge-client varquin-bridge-install
        RUNTIME DESTINATION bin)

if(VARQUIN_EXTENSION_ID AND VARQUIN_APP_BUNDLE AND VARQUIN_USER_DATA)
  install(CODE "set(varquin_install_arguments [[--extension-id;${VARQUIN_EXTENSION_ID};\
--app-bundle;${VARQUIN_APP_BUNDLE};--user-data;${VARQUIN_USER_DATA};${VARQUIN_INSTALL_OPTIONS}]])")
  install(CODE [[
    if("$ENV{DESTDIR}" STREQUAL "")
      execute_process(
        COMMAND "${CMAKE_INSTALL_PREFIX}/bin/varquin-bridge-install"
                --bridge "${CMAKE_INSTALL_PREFIX}/bin/varquin-browser-bridge"
                ${varquin_install_arguments}
        RESULT_VARIABLE varquin_install_status)
      if(NOT varquin_install_status EQUAL 0)
        message(FATAL_ERROR "varquin-bridge-install failed (${varquin_install_status})")
      endif()
    else()
      message(STATUS "DESTDIR is set: not registering the bridge with the browsers")
    endif()
  ]])
endif()
