# Debian packages, one per install component:
#   trawlcap           trawlcap, the stand-in libvexmo.so.4, trawlcap(1), completion
#   bitpeel            bitpeel, bitpeel(1), completion
#   libtallyboard      libtallyboard.so
#   libtallyboard-dev  tallyboard.h, tallyboard.pc, CMake package files, tallyboard(3)
# Build them with `cpack -G DEB` in the build directory (or `make package`).
# The component vexmo-dev (vexmo.h and the libvexmo.so link name) is installed
# by `cmake --install` but not packaged: the stand-in only has to serve trawlcap.

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME trawlkit)
set(CPACK_PACKAGE_VENDOR "trawlkit")
set(CPACK_PACKAGE_CONTACT "trawlkit maintainers <trawlkit@localhost>")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)

# CPack wraps the descriptions itself: the first line is the synopsis.
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL trawlcap bitpeel libtallyboard libtallyboard-dev)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_RELEASE 1)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# Run-time dependencies are read off the ELF files by dpkg-shlibdeps (dpkg-dev):
# libc6, libpcap0.8, libstdc++6, libgcc-s1 as each binary really needs them.
# trawlcap's libvexmo.so.4 lies in the same package; dpkg-shlibdeps follows
# its RUNPATH $ORIGIN/../lib into the staging tree.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# Control files 0644, maintainer scripts 0755, whatever the umask of the build.
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CMAKE_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
    OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)

# libtallyboard-dev requires the library of exactly its own version.
set(CPACK_DEBIAN_ENABLE_COMPONENT_DEPENDS ON)
set(CPACK_COMPONENT_LIBTALLYBOARD-DEV_DEPENDS libtallyboard)

set(CPACK_DEBIAN_TRAWLCAP_PACKAGE_NAME trawlcap)
set(CPACK_DEBIAN_TRAWLCAP_PACKAGE_SECTION net)
set(CPACK_COMPONENT_TRAWLCAP_DESCRIPTION
"multi-threaded packet capture into pcap files
trawlcap captures packets with one worker thread per receive stream of the
packet I/O service, filters them with a BPF expression and writes each
worker's packets to its own pcap savefile. This package carries the stand-in
packet I/O client library libvexmo.so.4, which replays savefiles and
captures on Linux network interfaces.")

set(CPACK_DEBIAN_BITPEEL_PACKAGE_NAME bitpeel)
set(CPACK_DEBIAN_BITPEEL_PACKAGE_SECTION utils)
set(CPACK_COMPONENT_BITPEEL_DESCRIPTION
"decoder of 64-bit stream identifiers
bitpeel splits a stream identifier into device number, thread number,
relative time and sequence number, and turns the relative time into
calendar time.")

set(CPACK_DEBIAN_LIBTALLYBOARD_PACKAGE_NAME libtallyboard)
set(CPACK_DEBIAN_LIBTALLYBOARD_PACKAGE_SECTION libs)
set(CPACK_COMPONENT_LIBTALLYBOARD_DESCRIPTION
"named 64-bit counters with a periodic screen printer
libtallyboard keeps named signed 64-bit counters that any thread of the host
may update without a lock, and can print them at a fixed interval as a table
of totals and per-second rates.")

set(CPACK_DEBIAN_LIBTALLYBOARD-DEV_PACKAGE_NAME libtallyboard-dev)
set(CPACK_DEBIAN_LIBTALLYBOARD-DEV_PACKAGE_SECTION libdevel)
set(CPACK_COMPONENT_LIBTALLYBOARD-DEV_DESCRIPTION
"named 64-bit counters with a periodic screen printer - development files
The C header, the pkg-config file, the CMake package configuration
(find_package(tallyboard)) and the tallyboard(3) manual page.")

include(CPack)
