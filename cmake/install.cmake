# Install rules: the program, the library (libquarnix.so.0 with its
# libquarnix.so link, and libquarnix.a), its header, a pkg-config file, a CMake
# package (find_package(quarnix): quarnix::quarnix, the shared library, and
# quarnix::quarnix_static) and the man page. Paths follow GNUInstallDirs, so a
# prefix of /usr puts the libraries in the multiarch folder (Debian).
#   cmake --install BUILD --prefix /usr/local     (DESTDIR stages a package)
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

set(QRN_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/quarnix)

install(TARGETS quarnix RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})

# The exported names are those consumers write after `quarnix::`.
set_target_properties(quarnix_shared PROPERTIES EXPORT_NAME quarnix)
set_target_properties(quarnix_static PROPERTIES EXPORT_NAME quarnix_static)
install(TARGETS quarnix_shared quarnix_static EXPORT quarnixTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
  INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(FILES ${CMAKE_SOURCE_DIR}/include/quarnix.h DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})

install(EXPORT quarnixTargets NAMESPACE quarnix:: DESTINATION ${QRN_CMAKE_DIR})
configure_package_config_file(${CMAKE_CURRENT_LIST_DIR}/quarnixConfig.cmake.in
  ${CMAKE_BINARY_DIR}/quarnixConfig.cmake INSTALL_DESTINATION ${QRN_CMAKE_DIR})
# Within a major version the library keeps its interface (and its soname).
write_basic_package_version_file(${CMAKE_BINARY_DIR}/quarnixConfigVersion.cmake
  VERSION ${PROJECT_VERSION} COMPATIBILITY SameMajorVersion)
install(FILES ${CMAKE_BINARY_DIR}/quarnixConfig.cmake ${CMAKE_BINARY_DIR}/quarnixConfigVersion.cmake
  DESTINATION ${QRN_CMAKE_DIR})

# quarnix.pc is finished when installing, so that its prefix is the one the
# files actually go to (`cmake --install --prefix` may differ from the one
# configured): everything else is filled in here, the prefix is left for then.
# Static linking from C also needs the C++ runtime and threads.
set(QRN_PC_LIBS_PRIVATE "-lstdc++ -lm -pthread")
set(QRN_PC_PREFIX "@QRN_PC_PREFIX@")
set(QRN_PC_LIBDIR "\${exec_prefix}/${CMAKE_INSTALL_LIBDIR}")
set(QRN_PC_INCLUDEDIR "\${prefix}/${CMAKE_INSTALL_INCLUDEDIR}")
if(IS_ABSOLUTE "${CMAKE_INSTALL_LIBDIR}")
  set(QRN_PC_LIBDIR "${CMAKE_INSTALL_LIBDIR}")
endif()
if(IS_ABSOLUTE "${CMAKE_INSTALL_INCLUDEDIR}")
  set(QRN_PC_INCLUDEDIR "${CMAKE_INSTALL_INCLUDEDIR}")
endif()
configure_file(${CMAKE_CURRENT_LIST_DIR}/quarnix.pc.in ${CMAKE_BINARY_DIR}/quarnix.pc.in @ONLY)
install(CODE "
  set(QRN_PC_PREFIX \"\${CMAKE_INSTALL_PREFIX}\")
  configure_file(\"${CMAKE_BINARY_DIR}/quarnix.pc.in\" \"${CMAKE_BINARY_DIR}/quarnix.pc\" @ONLY)
")
install(FILES ${CMAKE_BINARY_DIR}/quarnix.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)

install(FILES ${CMAKE_SOURCE_DIR}/man/quarnix.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
