# SPDX-License-Identifier: MIT
# Install rules for the library: the .so, its header, a CMake package and a
# pkg-config file. Components: `lib` is what programs need at run time, `dev`
# what building against the library needs (the Debian split).
include(CMakePackageConfigHelpers)

install(TARGETS kivVidStreamLib2 EXPORT kivVidStreamLib2Targets
    LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
        COMPONENT lib NAMELINK_COMPONENT dev
        # A shared library is not a program.
        PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ
    PUBLIC_HEADER DESTINATION ${CMAKE_INSTALL_INCLUDEDIR} COMPONENT dev)
install(EXPORT kivVidStreamLib2Targets
    NAMESPACE kivVidStreamLib2::
    DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/kivVidStreamLib2
    COMPONENT dev)

file(WRITE ${CMAKE_CURRENT_BINARY_DIR}/kivVidStreamLib2Config.cmake
    "include(\${CMAKE_CURRENT_LIST_DIR}/kivVidStreamLib2Targets.cmake)\n")
write_basic_package_version_file(${CMAKE_CURRENT_BINARY_DIR}/kivVidStreamLib2ConfigVersion.cmake
    VERSION ${KIV_LIB_VERSION} COMPATIBILITY SameMajorVersion)
install(FILES
    ${CMAKE_CURRENT_BINARY_DIR}/kivVidStreamLib2Config.cmake
    ${CMAKE_CURRENT_BINARY_DIR}/kivVidStreamLib2ConfigVersion.cmake
    DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/kivVidStreamLib2
    COMPONENT dev)

# The prefix is found from where the file lies, so the same file serves
# `cmake --install` into any prefix and the Debian package under /usr.
file(RELATIVE_PATH KIV_PC_TO_PREFIX /prefix/${CMAKE_INSTALL_LIBDIR}/pkgconfig /prefix)
configure_file(${PROJECT_SOURCE_DIR}/cmake/kivVidStreamLib2.pc.in
    ${CMAKE_CURRENT_BINARY_DIR}/kivVidStreamLib2.pc @ONLY)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/kivVidStreamLib2.pc
    DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig
    COMPONENT dev)
