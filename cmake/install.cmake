# Install layout on the router, and the package that carries it:
#   /opt/norvask/bin/norvaskd         the daemon
#   /opt/norvask/bin/norvask-status   what each LED shows and why
#   /opt/norvask/etc/init             the daemon's start script
#   /opt/norvask/www/                 the owner's page (index.html, app.js, style.css)
#   /opt/norvask/www/cgi-bin/norvask  the CGI program behind the owner's page
# The settings file beside it belongs to the router's configuration, not to us.
if(CMAKE_INSTALL_PREFIX_INITIALIZED_TO_DEFAULT)
  set(CMAKE_INSTALL_PREFIX /opt/norvask CACHE PATH "Install prefix" FORCE)
endif()
# The daemon linked statically at fixed addresses is installed as linked: its
# symbol table holds its three exports alone, which stripping would take away.
if(NORVASK_STATIC AND NOT NORVASK_STATIC_PIE)
  install(PROGRAMS $<TARGET_FILE:norvaskd> DESTINATION bin)
  install(TARGETS norvask-status RUNTIME DESTINATION bin)
else()
  install(TARGETS norvaskd norvask-status RUNTIME DESTINATION bin)
endif()
install(PROGRAMS ${CMAKE_CURRENT_SOURCE_DIR}/dist/init DESTINATION etc)
install(FILES ${CMAKE_CURRENT_SOURCE_DIR}/web/www/index.html ${CMAKE_CURRENT_SOURCE_DIR}/web/www/app.js
              ${CMAKE_CURRENT_SOURCE_DIR}/web/www/style.css
        DESTINATION www)
install(TARGETS norvask-cgi RUNTIME DESTINATION www/cgi-bin)

# Named as Debian names the architecture (armhf, not arm), where the toolchain
# file says.
if(NORVASK_PACKAGE_ARCH)
  set(norvask_package_arch ${NORVASK_PACKAGE_ARCH})
else()
  set(norvask_package_arch ${CMAKE_SYSTEM_PROCESSOR})
endif()
if(NORVASK_STATIC)
  string(APPEND norvask_package_arch -static)
endif()
set(CPACK_GENERATOR TGZ)
set(CPACK_PACKAGE_NAME ${PROJECT_NAME})
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_FILE_NAME ${PROJECT_NAME}-${PROJECT_VERSION}-${norvask_package_arch})
set(CPACK_PACKAGE_DIRECTORY ${CMAKE_BINARY_DIR})
# Paths in the archive are absolute paths on the router, less the leading
# slash: it unpacks with "tar -xzf ... -C /".
set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY OFF)
set(CPACK_PACKAGING_INSTALL_PREFIX ${CMAKE_INSTALL_PREFIX})
set(CPACK_STRIP_FILES ON)
include(CPack)
