# Installation and the Debian package.
#
#   <prefix>/lib/vek/          lib-vek-yaltime.so and lib-vek-vek_base.so
#   <prefix>/bin/              vekhost, yaltime-monitor, yaltime-status
#   <prefix>/include/yaltime/  public/, interface/ and host/ headers, in the
#                              layout they have here, so that their relative
#                              includes ("../public/vek.h") keep working
#   <prefix>/lib/              libvekhost_loader.a, the host's loader library
#   <prefix>/lib/cmake/yaltime find_package(yaltime): yaltime::headers,
#                              yaltime::host, yaltime::clock
#   <prefix>/lib/pkgconfig     yaltime.pc
#   <prefix>/lib/systemd/system/yaltime-master.service, and
#                              yaltime-status-metrics.service and .timer
#                              (metrics for node_exporter every 15 s)
#   <prefix>/lib/tmpfiles.d/yaltime.conf  the metrics file's link into
#                              node_exporter's textfile folder
#   <prefix>/share/yaltime/prometheus/yaltime-alerts.rules.yml
#                              alerting rules on those metrics
#
# Paths are relative to the prefix, so that an install into any directory
# (and the package, built for /usr) is complete in itself.  The plug-in
# directory is <prefix>/lib/vek, which is what the host searches last
# (VEKHOST_PLUGIN_DIR) unless configured otherwise.
include(CMakePackageConfigHelpers)

# The host's compiled-in plug-in directory should be where the component is
# installed.  CPack installs under /usr whatever the prefix was, so a
# package is best built from a tree configured with
# -DCMAKE_INSTALL_PREFIX=/usr.
if(DEFINED VEKHOST_PLUGIN_DIR)
  set(_yaltime_host_plugin_dir "${VEKHOST_PLUGIN_DIR}")
else()
  set(_yaltime_host_plugin_dir "${CMAKE_INSTALL_PREFIX}/lib/vek") # the host's default
endif()
if(NOT _yaltime_host_plugin_dir STREQUAL "${CMAKE_INSTALL_PREFIX}/lib/vek")
  message(STATUS "yaltime: the host searches ${_yaltime_host_plugin_dir} last, the component installs to "
                 "${CMAKE_INSTALL_PREFIX}/lib/vek; tools given a full path, or started from <prefix>/bin, "
                 "find it either way")
endif()
unset(_yaltime_host_plugin_dir)

set(YALTIME_INSTALL_PLUGINDIR lib/vek)
set(YALTIME_INSTALL_LIBDIR lib)
set(YALTIME_INSTALL_INCLUDEDIR include/yaltime)
set(YALTIME_INSTALL_CMAKEDIR lib/cmake/yaltime)

install(TARGETS yaltime vek_base
  LIBRARY DESTINATION ${YALTIME_INSTALL_PLUGINDIR})
install(TARGETS vekhost
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
foreach(tool yaltime-monitor yaltime-status)
  if(TARGET ${tool})
    install(TARGETS ${tool} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  endif()
endforeach()
install(TARGETS vekhost_loader
  ARCHIVE DESTINATION ${YALTIME_INSTALL_LIBDIR})

install(DIRECTORY ${PROJECT_SOURCE_DIR}/public/ DESTINATION ${YALTIME_INSTALL_INCLUDEDIR}/public
  FILES_MATCHING PATTERN "*.h" PATTERN "*.hpp")
install(DIRECTORY ${PROJECT_SOURCE_DIR}/interface/ DESTINATION ${YALTIME_INSTALL_INCLUDEDIR}/interface
  FILES_MATCHING PATTERN "*.h")
install(FILES ${PROJECT_SOURCE_DIR}/host/vek_host.h DESTINATION ${YALTIME_INSTALL_INCLUDEDIR}/host)

configure_package_config_file(
  ${CMAKE_CURRENT_LIST_DIR}/yaltimeConfig.cmake.in
  ${CMAKE_BINARY_DIR}/packaging/yaltimeConfig.cmake
  INSTALL_DESTINATION ${YALTIME_INSTALL_CMAKEDIR}
  PATH_VARS YALTIME_INSTALL_INCLUDEDIR YALTIME_INSTALL_LIBDIR YALTIME_INSTALL_PLUGINDIR)
# The version file also refuses a client of the other word size.  The i386
# build passes -m32 as a compile option, so CMake's own probe saw a 64-bit
# compiler: state the size the package really has.
function(yaltime_write_version_file)
  if(YALTIME_I386)
    set(CMAKE_SIZEOF_VOID_P 4)
  endif()
  write_basic_package_version_file(
    ${CMAKE_BINARY_DIR}/packaging/yaltimeConfigVersion.cmake
    COMPATIBILITY SameMajorVersion)
endfunction()
yaltime_write_version_file()
install(FILES
  ${CMAKE_BINARY_DIR}/packaging/yaltimeConfig.cmake
  ${CMAKE_BINARY_DIR}/packaging/yaltimeConfigVersion.cmake
  DESTINATION ${YALTIME_INSTALL_CMAKEDIR})

configure_file(${CMAKE_CURRENT_LIST_DIR}/yaltime.pc.in ${CMAKE_BINARY_DIR}/packaging/yaltime.pc @ONLY)
install(FILES ${CMAKE_BINARY_DIR}/packaging/yaltime.pc DESTINATION ${YALTIME_INSTALL_LIBDIR}/pkgconfig)

install(FILES
  ${CMAKE_CURRENT_LIST_DIR}/yaltime-master.service
  ${CMAKE_CURRENT_LIST_DIR}/yaltime-status-metrics.service
  ${CMAKE_CURRENT_LIST_DIR}/yaltime-status-metrics.timer
  DESTINATION lib/systemd/system)
install(FILES ${CMAKE_CURRENT_LIST_DIR}/yaltime.tmpfiles.conf DESTINATION lib/tmpfiles.d RENAME yaltime.conf)
install(FILES ${CMAKE_CURRENT_LIST_DIR}/yaltime-alerts.rules.yml DESTINATION share/yaltime/prometheus)

# cpack -G DEB (from the build directory) builds yaltime_<version>_<arch>.deb
# for /usr.
set(CPACK_PACKAGE_NAME yaltime)
set(CPACK_PACKAGE_VENDOR "YALTIME")
set(CPACK_PACKAGE_CONTACT "YALTIME maintainers <yaltime@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "TSC wall clock component for plug-in hosts, with its host and tools")
set(CPACK_PACKAGE_DESCRIPTION
  "YALTIME reads the wall clock from the TSC in a few nanoseconds and keeps it in step with the OS clock. \
The package has the component, the host's base services and the vekhost program, the yaltime-monitor \
and yaltime-status tools, headers for clients, and a systemd unit that runs the machine's calibration owner.")
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION misc)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
if(YALTIME_I386)
  set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE i386)
endif()
include(CPack)
