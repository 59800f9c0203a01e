# Install rules for the programs and the Debian packages (cpack -G DEB).
#
# Included before the layers: KV_PROGRAM_INSTALL_DIR must be known when the
# locale layer adds its catalogs; and before the packages the build finds,
# which would settle the library folder first (below). The install rules for
# the programs and the packages are made at the end of the top directory,
# once every target exists.
#
# The programs look for their catalogs in <program dir>/locale, so programs
# and catalogs share one private directory, lib/kv52804 (bin/locale would
# collide with the system's own "locale" program in /usr/bin); bin holds
# links to the programs. The programs find their real directory through
# /proc/self/exe, which resolves the links. Build tools (draw-komputer,
# embed-catalogs), tests and benchmarks are not installed.
#
# Debian's ld.so, pkg-config and CMake search the multiarch library folder
# (lib/x86_64-linux-gnu) under /usr/local as under /usr, but GNUInstallDirs
# picks it only for the prefix /usr. Taking it for any prefix lets the one
# build that `cmake --install` uses also make the packages, which install
# to /usr. A folder given with -DCMAKE_INSTALL_LIBDIR wins.
#
# A build folder configured before this rule holds GNUInstallDirs' own "lib"
# in its cache, which is taken as not given, once.
get_property(libdir_help CACHE CMAKE_INSTALL_LIBDIR PROPERTY HELPSTRING)
if(NOT DEFINED CACHE{KV_INSTALL_LIBDIR_CHOSEN} AND CMAKE_INSTALL_LIBDIR STREQUAL "lib"
        AND libdir_help STREQUAL "Object code libraries (lib)")
    unset(CMAKE_INSTALL_LIBDIR CACHE)
endif()
set(KV_INSTALL_LIBDIR_CHOSEN ON CACHE INTERNAL "The library folder was chosen by cmake/Packaging.cmake's rule")
if(NOT DEFINED CMAKE_INSTALL_LIBDIR AND CMAKE_LIBRARY_ARCHITECTURE)
    set(CMAKE_INSTALL_LIBDIR lib/${CMAKE_LIBRARY_ARCHITECTURE} CACHE PATH
        "Object code libraries (lib/${CMAKE_LIBRARY_ARCHITECTURE})")
endif()
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

# The Debian packages:
#   kv52804                  the programs, linked statically against the
#                            components, so they need none of the others;
#   lib<library><SONAME version>, e.g. libkv52804serial0.4
#                            one runtime package per component library, named
#                            after its SONAME as Debian's rule asks, so that
#                            the next interface's libraries install beside it;
#   kv52804-dev              headers, .so links, CMake package, pkg-config
#                            files and the Designer plugin, for exactly this
#                            version of the runtime packages;
#   libkv52804-l10n          the components' catalogs (install component
#                            l10n), when the build installs any.
# The catalogs are kept apart, architecture-independent, because a runtime
# package of the next SONAME holds the same catalog files: inside the runtime
# packages the two versions could not be installed together. The runtime
# packages recommend them, so a user who does not want translations can go
# without.
set(CPACK_GENERATOR DEB)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_PACKAGE_NAME kv52804)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "KV52804 maintainers <kv52804@example.com>")
# The package-wide summary (CPACK_PACKAGE_DESCRIPTION_SUMMARY) keeps CMake's
# default: CPack puts any other value in front of every package's own
# description, as the synopsis of all packages alike.
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SOURCE kv52804)
# Library dependencies (Qt, the C++ runtime) are worked out from the binaries;
# dpkg-shlibdeps finds the component libraries in the build tree. It leaves
# out the ones without package information (our own), which are named below.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${CMAKE_BINARY_DIR}/lib)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_STRIP_FILES ON)

set(CPACK_DEBIAN_UNSPECIFIED_PACKAGE_NAME kv52804)
set(CPACK_DEBIAN_UNSPECIFIED_PACKAGE_SECTION misc)
# The window's fonts stand in for the designed ones; without them Qt picks
# whatever it finds and texts may be cut.
set(CPACK_DEBIAN_UNSPECIFIED_PACKAGE_RECOMMENDS "fonts-dejavu-core, fonts-dejavu-extra")
set(CPACK_DEBIAN_UNSPECIFIED_DESCRIPTION [=[
programs for the KV52804 serial seven-segment LED display module
kv52804-demo shows twelve seven-segment digits, lets the user type a
character code for each and sends them over a serial port to a KV52804
display module.
.
kv52804-sim is a virtual display module on a pseudo-terminal for trying the
programs without hardware.
.
kv52804 shows text, codes and the time on the module from a shell, a script
or a pipe, without a display.]=])

set(CPACK_DEBIAN_DEV_PACKAGE_NAME kv52804-dev)
set(CPACK_DEBIAN_DEV_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_DEV_PACKAGE_SUGGESTS "qt6-tools-dev-tools, designer-qt6")
set(CPACK_DEBIAN_DEV_DESCRIPTION [=[
development files for the KV52804 display module components
The components behind kv52804-demo, for programs of your own: the
seven-segment digit widget, the serial port component with its event thread
and setting selectors, the display module's frames and the translation
engine.
.
This package holds the headers, the links to the shared libraries, a CMake
package (find_package(KV52804)), pkg-config files and a Qt Designer plugin
that puts the digit and the selectors in Designer's widget box.]=])

set(CPACK_DEBIAN_L10N_PACKAGE_NAME libkv52804-l10n)
set(CPACK_DEBIAN_L10N_PACKAGE_SECTION localization)
set(CPACK_DEBIAN_L10N_PACKAGE_ARCHITECTURE all)
set(CPACK_DEBIAN_L10N_DESCRIPTION [=[
translations for the KV52804 display module components
The message catalogs of the KV52804 components: the texts of port errors,
setting names and the port setup dialog in other languages, for every
program built on the components.]=])

# What each component library holds, for its package's description.
set(KV_PACKAGE_HOLDS_ClassLib "exceptions, threads with synchronised calls and runtime texts")
set(KV_PACKAGE_HOLDS_I18n "the translation engine: MO catalogs and window translation")
set(KV_PACKAGE_HOLDS_Display "the display module's frames, digit order and text to character codes")
set(KV_PACKAGE_HOLDS_Serial "the serial port component with its event thread, setting texts and port list")
set(KV_PACKAGE_HOLDS_Widgets "the seven-segment digit widget")
set(KV_PACKAGE_HOLDS_Setup "the setting selectors and the port setup dialog")

# Debian's name for the package of a library: the library's name and its
# SONAME version, with a hyphen between them when the name ends in a digit.
function(kv_runtime_package_name out target)
    get_target_property(name ${target} OUTPUT_NAME)
    get_target_property(version ${target} SOVERSION)
    if(name MATCHES "[0-9]$")
        set(${out} lib${name}-${version} PARENT_SCOPE)
    else()
        set(${out} lib${name}${version} PARENT_SCOPE)
    endif()
endfunction()

# Debian's documents of one package, its copyright and changelog: installed
# into the packages only, not by a plain `cmake --install`, where a folder
# per package means nothing.
function(kv_package_documents component package)
    install(FILES ${PROJECT_SOURCE_DIR}/packaging/copyright ${CMAKE_BINARY_DIR}/packaging/changelog.gz
        DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/${package} COMPONENT ${component} EXCLUDE_FROM_ALL)
endfunction()

# Run once every install rule exists: the runtime packages follow the
# component libraries, and the catalogs' package exists only when the build
# installs catalogs.
function(kv_packages)
    set(changelog ${CMAKE_BINARY_DIR}/packaging/changelog.gz)
    add_custom_command(OUTPUT ${changelog}
        COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/packaging
        COMMAND gzip -9 -n -c ${PROJECT_SOURCE_DIR}/packaging/changelog > ${changelog}
        DEPENDS ${PROJECT_SOURCE_DIR}/packaging/changelog
        COMMENT "Compressing the packages' changelog")
    add_custom_target(kv_package_changelog ALL DEPENDS ${changelog})

    get_cmake_property(installed COMPONENTS)
    set(packaged Unspecified)
    kv_package_documents(Unspecified kv52804)

    if("l10n" IN_LIST installed)
        list(APPEND packaged l10n)
        kv_package_documents(l10n libkv52804-l10n)
    endif()

    get_property(components GLOBAL PROPERTY KV_COMPONENTS)
    set(dev_depends "")
    foreach(component ${components})
        string(TOLOWER ${component} lower)
        set(target kv52804_${lower})
        get_target_property(library ${target} OUTPUT_NAME)
        string(TOUPPER ${library} var)
        kv_runtime_package_name(package ${target})
        list(APPEND packaged ${library})
        kv_package_documents(${library} ${package})
        set(CPACK_DEBIAN_${var}_PACKAGE_NAME ${package} PARENT_SCOPE)
        set(CPACK_DEBIAN_${var}_PACKAGE_SECTION libs PARENT_SCOPE)
        # The shlibs file tells dpkg-shlibdeps which package a program built
        # on the library needs: this one, from this version on, since the
        # SONAME changes with every change of the interface. Written here
        # because CPack's own (CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS) applies
        # to every package, and in kv52804-dev it stumbles on the Designer
        # plugin, which has no SONAME.
        get_target_property(version ${target} SOVERSION)
        set(shlibs ${CMAKE_BINARY_DIR}/packaging/${package}/shlibs)
        file(CONFIGURE OUTPUT ${shlibs}
            CONTENT "lib${library} ${version} ${package} (>= ${PROJECT_VERSION})\n")
        set(CPACK_DEBIAN_${var}_PACKAGE_CONTROL_EXTRA
            ${shlibs} ${PROJECT_SOURCE_DIR}/packaging/triggers PARENT_SCOPE)
        # The components below this one: dpkg-shlibdeps cannot tell which
        # package holds them, so they are named here, by the shlibs rule.
        set(depends "")
        get_target_property(links ${target} LINK_LIBRARIES)
        foreach(link ${links})
            if(link MATCHES "^kv52804_" AND TARGET ${link})
                kv_runtime_package_name(below ${link})
                list(APPEND depends "${below} (>= ${PROJECT_VERSION})")
            endif()
        endforeach()
        list(JOIN depends ", " depends)
        set(CPACK_DEBIAN_${var}_PACKAGE_DEPENDS "${depends}" PARENT_SCOPE)
        # The catalogs are read by the translation engine, for itself and
        # for the components built on it.
        if("l10n" IN_LIST installed AND (lower STREQUAL "i18n" OR "kv52804_i18n" IN_LIST links))
            set(CPACK_DEBIAN_${var}_PACKAGE_RECOMMENDS libkv52804-l10n PARENT_SCOPE)
        endif()
        if(DEFINED KV_PACKAGE_HOLDS_${component})
            set(holds "${KV_PACKAGE_HOLDS_${component}}")
        else()
            set(holds "the ${component} component")
        endif()
        set(CPACK_DEBIAN_${var}_DESCRIPTION
"KV52804 display module components - ${lower} library
The components behind kv52804-demo, for programs of your own that drive a
KV52804 serial seven-segment LED display module.
.
This package holds the shared library lib${library}:
${holds}." PARENT_SCOPE)
        list(APPEND dev_depends "${package} (= ${PROJECT_VERSION})")
    endforeach()

    if(components)
        list(APPEND packaged dev)
        kv_package_documents(dev kv52804-dev)
        # The public headers include Qt's.
        list(APPEND dev_depends qt6-base-dev)
        list(JOIN dev_depends ", " dev_depends)
        set(CPACK_DEBIAN_DEV_PACKAGE_DEPENDS "${dev_depends}" PARENT_SCOPE)
    endif()
    # A component left out here would silently be missing from the packages.
    foreach(component ${installed})
        if(NOT component IN_LIST packaged)
            message(SEND_ERROR "Install component ${component} belongs to no package (cmake/Packaging.cmake)")
        endif()
    endforeach()
    set(CPACK_COMPONENTS_ALL ${packaged} PARENT_SCOPE)
endfunction()

# CPack writes its configuration when included, so it comes after the
# packages' variables, which need every install rule: after the other calls
# deferred to the end of the top directory, which add install rules too.
macro(kv_include_cpack)
    kv_packages()
    include(CPack)
endmacro()
cmake_language(DEFER DIRECTORY ${CMAKE_SOURCE_DIR}
    CALL cmake_language DEFER DIRECTORY ${CMAKE_SOURCE_DIR} CALL kv_include_cpack)
