# Install rules for the programs and the Debian package (cpack -G DEB).
#
# Included before the layers: KV_PROGRAM_INSTALL_DIR must be known when the
# locale layer adds its catalogs. The install rules for the programs run at
# the end of the top directory, once every target exists.
#
# The programs look for their catalogs in <program dir>/locale, so programs
# and catalogs share one private directory, lib/kv52804 (bin/locale would
# collide with the system's own "locale" program in /usr/bin); bin holds
# links to the programs. The programs find their real directory through
# /proc/self/exe, which resolves the links. Build tools (draw-komputer,
# embed-catalogs), tests and benchmarks are not installed.
include(GNUInstallDirs)
set(KV_PROGRAM_INSTALL_DIR lib/kv52804)

function(kv_install_programs)
    foreach(program kv52804-demo kv52804-sim kv52804)
        if(NOT TARGET ${program})
            continue()
        endif()
        install(TARGETS ${program} RUNTIME DESTINATION ${KV_PROGRAM_INSTALL_DIR})
        install(CODE "
            set(bin \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/bin\")
            file(MAKE_DIRECTORY \"\${bin}\")
            file(CREATE_LINK ../${KV_PROGRAM_INSTALL_DIR}/${program} \"\${bin}/${program}\" SYMBOLIC)
            message(STATUS \"Linking: \${bin}/${program}\")")
    endforeach()
    if(TARGET kv52804-demo)
        install(FILES ${CMAKE_SOURCE_DIR}/packaging/kv52804-demo.desktop
                      ${CMAKE_SOURCE_DIR}/packaging/kv52804-sim.desktop
                DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
        # The menu icon is the window's own picture, drawn at build time.
        install(FILES ${CMAKE_BINARY_DIR}/app/resources/KOMPUTER.png
                DESTINATION ${CMAKE_INSTALL_DATADIR}/pixmaps
                RENAME kv52804-demo.png)
    endif()
endfunction()
cmake_language(DEFER DIRECTORY ${CMAKE_SOURCE_DIR} CALL kv_install_programs)

set(CPACK_PACKAGE_NAME kv52804)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "KV52804 demo maintainers <kv52804-demo@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Demonstration program for the KV52804 serial LED display module")
set(CPACK_PACKAGE_DESCRIPTION
    "kv52804-demo shows twelve seven-segment digits, lets the user type a character code for each and sends them over a serial port to a KV52804 display module. kv52804-sim is a virtual display module on a pseudo-terminal for trying the program without hardware. kv52804 shows text, codes and the time on the module from a shell, a script or a pipe, without a display.")
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION misc)
# Library dependencies (Qt, the C++ runtime) are worked out from the binaries.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# The window's fonts stand in for the designed ones; without them Qt picks
# whatever it finds and texts may be cut.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "fonts-dejavu-core, fonts-dejavu-extra")
set(CPACK_STRIP_FILES ON)
include(CPack)
