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

# Two packages: kv52804 with the programs (linked statically against the
# components, so it needs nothing of the other), and kv52804-dev with the
# component libraries, their headers, the CMake package, the pkg-config files
# and the Designer plugin, for people writing their own programs.
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL Unspecified dev)
set(CPACK_DEBIAN_UNSPECIFIED_PACKAGE_NAME kv52804)
set(CPACK_DEBIAN_DEV_PACKAGE_NAME kv52804-dev)
set(CPACK_DEBIAN_DEV_PACKAGE_SECTION libdevel)
# The public headers include Qt's; the Designer plugin is found by Designer.
set(CPACK_DEBIAN_DEV_PACKAGE_DEPENDS "qt6-base-dev")
set(CPACK_DEBIAN_DEV_PACKAGE_SUGGESTS "qt6-tools-dev-tools, designer-qt6")
set(CPACK_COMPONENT_DEV_DESCRIPTION
    "The components behind kv52804-demo for your own programs: the seven-segment digit widget, the serial port component with its event thread and setting selectors, the display module's frames and the translation engine, as shared libraries with headers, a CMake package (find_package(KV52804)), pkg-config files and a Qt Designer plugin.")
# The component libraries need one another: dpkg-shlibdeps finds them in the
# package being made.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${CMAKE_BINARY_DIR}/lib)
include(CPack)
