# Install rules for the library: the .so, its header, a CMake package and a
# pkg-config file.
include(CMakePackageConfigHelpers)

install(TARGETS kivVidStreamLib2 EXPORT kivVidStreamLib2Targets
    LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
    PUBLIC_HEADER DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(EXPORT kivVidStreamLib2Targets
    NAMESPACE kivVidStreamLib2::
    DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/kivVidStreamLib2)

file(WRITE ${CMAKE_CURRENT_BINARY_DIR}/kivVidStreamLib2Config.cmake
    "include(\${CMAKE_CURRENT_LIST_DIR}/kivVidStreamLib2Targets.cmake)\n")
write_basic_package_version_file(${CMAKE_CURRENT_BINARY_DIR}/kivVidStreamLib2ConfigVersion.cmake
    VERSION ${KIV_LIB_VERSION} COMPATIBILITY SameMajorVersion)
install(FILES
    ${CMAKE_CURRENT_BINARY_DIR}/kivVidStreamLib2Config.cmake
    ${CMAKE_CURRENT_BINARY_DIR}/kivVidStreamLib2ConfigVersion.cmake
    DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/kivVidStreamLib2)

configure_file(${PROJECT_SOURCE_DIR}/cmake/kivVidStreamLib2.pc.in
    ${CMAKE_CURRENT_BINARY_DIR}/kivVidStreamLib2.pc @ONLY)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/kivVidStreamLib2.pc
    DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
