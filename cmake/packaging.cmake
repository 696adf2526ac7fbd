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
# Who answers for the packages; set it when packaging, e.g.
#   cmake --preset release -DTRAWLKIT_MAINTAINER="Jane Doe <jane@example.net>"
set(TRAWLKIT_MAINTAINER "The trawlkit authors <trawlkit@example.org>" CACHE STRING
    "Maintainer field of the Debian packages and of their changelog entry")
set(CPACK_PACKAGE_CONTACT "${TRAWLKIT_MAINTAINER}")
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
# libc6, libpcap0.8, libzstd1, libstdc++6, libgcc-s1 as each binary really needs them.
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

# What Debian requires of every package besides its files (lintian checks it):
# the copyright file, the changelog, lintian overrides with their reasons, and
# for the shared libraries an ldconfig trigger and shlibs or symbols. The doc
# files are EXCLUDE_FROM_ALL: CPack installs each component by name and gets
# them, a plain `cmake --install` of the whole project does not.
set(deb_dir ${CMAKE_CURRENT_LIST_DIR}/debian)
set(deb_out ${CMAKE_BINARY_DIR}/debian)
file(READ ${PROJECT_SOURCE_DIR}/LICENSE deb_license_text)
# The licence terms without the notice line, as one indented copyright field;
# an empty line becomes " ." there.
string(REGEX REPLACE "^[^\n]*\n\n" "" deb_license_text "${deb_license_text}")
string(REGEX REPLACE "\n+$" "" deb_license_text "${deb_license_text}")
string(REPLACE "\n\n" "\n.\n" deb_license_text "${deb_license_text}")
string(REPLACE "\n" "\n " deb_license_text " ${deb_license_text}")
configure_file(${deb_dir}/copyright.in ${deb_out}/copyright @ONLY)
set(deb_version ${PROJECT_VERSION}-${CPACK_DEBIAN_PACKAGE_RELEASE})
foreach(deb_package IN LISTS CPACK_COMPONENTS_ALL)
  set(out ${deb_out}/${deb_package})
  configure_file(${deb_dir}/changelog.in ${out}/changelog.Debian @ONLY)
  # -n: no name or time stamp in the gzip header, so equal input packs equal.
  execute_process(COMMAND gzip -9nc INPUT_FILE ${out}/changelog.Debian
                  OUTPUT_FILE ${out}/changelog.Debian.gz COMMAND_ERROR_IS_FATAL ANY)
  # Overrides: the package's own file, then the ones every package shares.
  set(overrides "")
  if(EXISTS ${deb_dir}/${deb_package}.lintian-overrides)
    file(READ ${deb_dir}/${deb_package}.lintian-overrides overrides)
  endif()
  string(APPEND overrides
    "# Built outside the Debian archive: there is no bug asking for the package to close.\n"
    "${deb_package}: initial-upload-closes-no-bugs *\n")
  # Control files must carry their plain names, so each package gets a folder.
  if(deb_package STREQUAL "trawlcap" OR deb_package STREQUAL "libtallyboard")
    configure_file(${deb_dir}/triggers ${out}/triggers COPYONLY)
    string(APPEND overrides
      "# CPack writes these ldconfig calls itself; the ldconfig trigger makes them redundant, not wrong.\n"
      "${deb_package}: maintscript-calls-ldconfig *\n")
  endif()
  file(WRITE ${out}/lintian-overrides "${overrides}")
  install(FILES ${deb_out}/copyright ${out}/changelog.Debian.gz
          DESTINATION share/doc/${deb_package} COMPONENT ${deb_package} EXCLUDE_FROM_ALL)
  install(FILES ${out}/lintian-overrides DESTINATION share/lintian/overrides
          RENAME ${deb_package} COMPONENT ${deb_package} EXCLUDE_FROM_ALL)
endforeach()

configure_file(${deb_dir}/trawlcap.shlibs.in ${deb_out}/trawlcap/shlibs @ONLY)
set(CPACK_DEBIAN_TRAWLCAP_PACKAGE_CONTROL_EXTRA ${deb_out}/trawlcap/shlibs ${deb_out}/trawlcap/triggers)
# shlibs cannot name a SONAME without a version; a symbols file can.
configure_file(${deb_dir}/libtallyboard.symbols ${deb_out}/libtallyboard/symbols COPYONLY)
set(CPACK_DEBIAN_LIBTALLYBOARD_PACKAGE_CONTROL_EXTRA
    ${deb_out}/libtallyboard/symbols ${deb_out}/libtallyboard/triggers)

# Manual pages go into packages compressed, as dh_compress would leave them.
# Each component's page is compressed where it was just installed, so this
# must be called after the folders that install the pages.
function(trawlkit_compress_man_pages)
  foreach(page trawlcap:man1/trawlcap.1 trawlcap:man1/trawlcap-extract.1 bitpeel:man1/bitpeel.1 libtallyboard-dev:man3/tallyboard.3)
    string(REPLACE ":" ";" page ${page})
    list(GET page 0 component)
    list(GET page 1 file)
    install(CODE "execute_process(COMMAND gzip -9nf \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_MANDIR}/${file}\" COMMAND_ERROR_IS_FATAL ANY)"
            COMPONENT ${component})
  endforeach()
endfunction()

include(CPack)
