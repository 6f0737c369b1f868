# SPDX-License-Identifier: MIT
# Debian packages from CPack (`cpack -G DEB` in the build folder), split the
# Debian way: runtime library, -dev, programs and the GStreamer plugin. Every
# install() rule names one of the components below.
set(KIV_DEB_MAINTAINER "kivVidStreamTester maintainers <maintainers@users.noreply.c-seed-91a182c9.example>"
    CACHE STRING "Maintainer field of the Debian packages")
set(KIV_DEB_SOURCE kivvidstreamtester)
set(KIV_DEB_RELEASE 1)
set(KIV_DEB_VERSION ${PROJECT_VERSION}-${KIV_DEB_RELEASE})

# Package name per component; the library's carries its SONAME.
get_target_property(kiv_soversion kivVidStreamLib2 SOVERSION)
set(kiv_pkg_lib libkivvidstreamlib2-${kiv_soversion})
set(kiv_pkg_dev libkivvidstreamlib2-dev)
set(kiv_pkg_programs kivvidstreamtester)
set(kiv_pkg_gstreamer gstreamer1.0-kiv)

set(kiv_components lib dev)
if(TARGET kivstream OR TARGET kivVidStreamTester)
    list(APPEND kiv_components programs)
endif()
if(TARGET gstkiv)
    list(APPEND kiv_components gstreamer)
endif()

# Each package carries its own copyright and Debian changelog, as lintian asks.
string(TIMESTAMP kiv_deb_date "%a, %d %b %Y %H:%M:%S +0000" UTC)
find_program(KIV_GZIP gzip REQUIRED)
foreach(comp IN LISTS kiv_components)
    set(pkg ${kiv_pkg_${comp}})
    set(docdir ${CMAKE_CURRENT_BINARY_DIR}/debian-doc/${pkg})
    file(WRITE ${docdir}/copyright
"Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/
Upstream-Name: kivVidStreamTester

Files: *
Copyright: 2026 The kivVidStreamTester developers
License: Expat

License: Expat
 Permission is hereby granted, free of charge, to any person obtaining a copy
 of this software and associated documentation files (the \"Software\"), to deal
 in the Software without restriction, including without limitation the rights
 to use, copy, modify, merge, publish, distribute, sublicense, and/or sell
 copies of the Software, and to permit persons to whom the Software is
 furnished to do so, subject to the following conditions:
 .
 The above copyright notice and this permission notice shall be included in all
 copies or substantial portions of the Software.
 .
 THE SOFTWARE IS PROVIDED \"AS IS\", WITHOUT WARRANTY OF ANY KIND, EXPRESS OR
 IMPLIED, INCLUDING BUT NOT LIMITED TO THE WARRANTIES OF MERCHANTABILITY,
 FITNESS FOR A PARTICULAR PURPOSE AND NONINFRINGEMENT. IN NO EVENT SHALL THE
 AUTHORS OR COPYRIGHT HOLDERS BE LIABLE FOR ANY CLAIM, DAMAGES OR OTHER
 LIABILITY, WHETHER IN AN ACTION OF CONTRACT, TORT OR OTHERWISE, ARISING FROM,
 OUT OF OR IN CONNECTION WITH THE SOFTWARE OR THE USE OR OTHER DEALINGS IN THE
 SOFTWARE.
")
    file(WRITE ${docdir}/changelog.Debian
"${KIV_DEB_SOURCE} (${KIV_DEB_VERSION}) unstable; urgency=medium

  * Built with CPack from the project's sources.

 -- ${KIV_DEB_MAINTAINER}  ${kiv_deb_date}
")
    execute_process(COMMAND ${KIV_GZIP} -9nf ${docdir}/changelog.Debian COMMAND_ERROR_IS_FATAL ANY)
    install(FILES ${docdir}/copyright ${docdir}/changelog.Debian.gz
        DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/${pkg} COMPONENT ${comp})
endforeach()

set(CPACK_PACKAGE_NAME ${KIV_DEB_SOURCE})
set(CPACK_PACKAGE_VENDOR "kivVidStreamTester maintainers")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_COMPONENTS_ALL ${kiv_components})
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_RELEASE ${KIV_DEB_RELEASE})
set(CPACK_DEBIAN_PACKAGE_MAINTAINER ${KIV_DEB_MAINTAINER})
set(CPACK_DEBIAN_PACKAGE_SOURCE ${KIV_DEB_SOURCE})
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# The programs and the plugin link the library from this build, which no
# installed package provides yet: let dpkg-shlibdeps find it here, and name the
# dependency on its package ourselves.
get_target_property(kiv_lib_dir kivVidStreamLib2 BINARY_DIR)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${kiv_lib_dir})
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY ">=")

foreach(comp IN LISTS kiv_components)
    string(TOUPPER ${comp} COMP)
    set(CPACK_DEBIAN_${COMP}_PACKAGE_NAME ${kiv_pkg_${comp}})
endforeach()
# ldconfig runs through dpkg's trigger, as Debian's library packages do it.
file(WRITE ${CMAKE_CURRENT_BINARY_DIR}/debian-lib/triggers "activate-noawait ldconfig\n")
set(CPACK_DEBIAN_LIB_PACKAGE_CONTROL_EXTRA ${CMAKE_CURRENT_BINARY_DIR}/debian-lib/triggers)
set(CPACK_DEBIAN_LIB_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_DEBIAN_LIB_PACKAGE_SECTION libs)
set(CPACK_DEBIAN_DEV_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_PROGRAMS_PACKAGE_SECTION video)
set(CPACK_DEBIAN_GSTREAMER_PACKAGE_SECTION video)
set(CPACK_DEBIAN_DEV_PACKAGE_SHLIBDEPS OFF)
set(CPACK_DEBIAN_DEV_PACKAGE_DEPENDS "${kiv_pkg_lib} (= ${KIV_DEB_VERSION})")
set(CPACK_DEBIAN_PROGRAMS_PACKAGE_DEPENDS "${kiv_pkg_lib} (>= ${KIV_DEB_VERSION})")
set(CPACK_DEBIAN_GSTREAMER_PACKAGE_DEPENDS "${kiv_pkg_lib} (>= ${KIV_DEB_VERSION})")

set(CPACK_COMPONENT_LIB_DESCRIPTION "video frame streaming library - runtime
kivVidStreamLib2 carries raw or JPEG-compressed video frames from encoders to
decoders over shared memory, TCP and UDP unicast or multicast.
.
This package contains the shared library.")
set(CPACK_COMPONENT_DEV_DESCRIPTION "video frame streaming library - development files
kivVidStreamLib2 carries raw or JPEG-compressed video frames from encoders to
decoders over shared memory, TCP and UDP unicast or multicast.
.
This package contains the C header, the pkg-config file and the CMake
package.")
set(CPACK_COMPONENT_PROGRAMS_DESCRIPTION "video streaming test bench
kivVidStreamTester sends a test picture at a chosen size, depth, rate and
compression over shared memory, TCP or UDP, and shows what arrives.
kivstream does the same on the command line and benchmarks the transports.")
set(CPACK_COMPONENT_GSTREAMER_DESCRIPTION "GStreamer elements for kivVidStreamLib2 streams
kivvideosink sends a pipeline's raw video as kivVidStreamLib2 frames;
kivvideosrc receives such frames and pushes them into a pipeline. Both
work over shared memory, TCP and UDP.")

include(CPack)
