# Layers and the components other programs install.
#
# Every layer is compiled once, into an object library (<layer>_objects):
# position-independent, with hidden visibility, so that only what a public
# header marks with the layer's export macro (kv_<layer>_export.h) leaves a
# shared library. The same objects make
#   - the static library <layer>, which our programs, tests and benchmarks link
#     (they may reach internals such as the backend's test seams), and
#   - the shared libraries of the components (kv52804<component>.so), which
#     are installed with the public headers, a CMake package and pkg-config
#     files. A component links only its own layers' objects and the shared
#     libraries of the components below it (never their static archives), and
#     links with --no-undefined: a symbol it needs from below but that is not
#     exported there fails the build instead of being copied in.
include(GenerateExportHeader)
include(CMakePackageConfigHelpers)

# Shared libraries need the sanitizer and fuzzer runtimes, which the compilers
# link only into programs; those builds test the static libraries alone.
if(KV_SANITIZE OR KV_FUZZ)
    set(kv_shared_default OFF)
else()
    set(kv_shared_default ON)
endif()
option(KV_SHARED_LIBS "Build the shared component libraries, the package and the Designer plugin" ${kv_shared_default})

# Before 1.0 the interface may change with every minor release, so the
# SONAME carries both numbers (libkv52804serial.so.0.4); from 1.0 the major.
if(PROJECT_VERSION_MAJOR EQUAL 0)
    set(KV_SOVERSION ${PROJECT_VERSION_MAJOR}.${PROJECT_VERSION_MINOR})
else()
    set(KV_SOVERSION ${PROJECT_VERSION_MAJOR})
endif()

set(KV_INCLUDE_INSTALL_DIR ${CMAKE_INSTALL_INCLUDEDIR}/kv52804)
set(KV_CMAKE_INSTALL_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/KV52804)

# kv_layer(<name> SOURCES <files> [PUBLIC_HEADERS <headers>] [LAYERS <layers>] [LINK <libs>])
# LAYERS are the layers below it, LINK the outside libraries (Qt, threads).
function(kv_layer name)
    cmake_parse_arguments(ARG "" "" "SOURCES;PUBLIC_HEADERS;LAYERS;LINK" ${ARGN})
    set(objects ${name}_objects)
    add_library(${objects} OBJECT ${ARG_SOURCES} ${ARG_PUBLIC_HEADERS})
    set_target_properties(${objects} PROPERTIES
        POSITION_INDEPENDENT_CODE ON
        CXX_VISIBILITY_PRESET hidden
        VISIBILITY_INLINES_HIDDEN ON)
    string(TOUPPER ${name} upper)
    set(export_header ${CMAKE_CURRENT_BINARY_DIR}/kv_${name}_export.h)
    generate_export_header(${objects} BASE_NAME KV_${upper} EXPORT_FILE_NAME ${export_header})
    target_include_directories(${objects} PUBLIC ${CMAKE_CURRENT_SOURCE_DIR} ${CMAKE_CURRENT_BINARY_DIR})
    foreach(layer ${ARG_LAYERS})
        target_link_libraries(${objects} PUBLIC ${layer}_objects)
    endforeach()
    target_link_libraries(${objects} PUBLIC ${ARG_LINK})

    add_library(${name} STATIC)
    target_link_libraries(${name} PUBLIC ${objects} ${ARG_LAYERS} ${ARG_LINK})

    list(TRANSFORM ARG_PUBLIC_HEADERS PREPEND ${CMAKE_CURRENT_SOURCE_DIR}/)
    set_property(GLOBAL PROPERTY KV_LAYER_HEADERS_${name} ${ARG_PUBLIC_HEADERS} ${export_header})
    set_property(GLOBAL PROPERTY KV_LAYER_INCLUDES_${name} ${CMAKE_CURRENT_SOURCE_DIR} ${CMAKE_CURRENT_BINARY_DIR})
endfunction()

# Adds generated public headers (the setup dialog's form) to a layer.
function(kv_layer_public_headers name)
    set_property(GLOBAL APPEND PROPERTY KV_LAYER_HEADERS_${name} ${ARGN})
endfunction()

# kv_component(<Component> LAYERS <layers> [DEPENDS <components>] [LINK <libs>]
#              [PKGCONFIG <description>])
# The shared library kv52804<component>, imported by users as KV52804::<Component>.
function(kv_component component)
    if(NOT KV_SHARED_LIBS)
        return()
    endif()
    cmake_parse_arguments(ARG "" "PKGCONFIG" "LAYERS;DEPENDS;LINK" ${ARGN})
    string(TOLOWER ${component} lower)
    set(target kv52804_${lower})
    add_library(${target} SHARED)
    add_library(KV52804::${component} ALIAS ${target})
    set_target_properties(${target} PROPERTIES
        OUTPUT_NAME kv52804${lower}
        EXPORT_NAME ${component}
        VERSION ${PROJECT_VERSION}
        SOVERSION ${KV_SOVERSION}
        LIBRARY_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/lib
        # The components find each other beside themselves wherever the
        # installation is, also where the program's own search path does not
        # reach (it applies to the program's direct needs only).
        INSTALL_RPATH "$ORIGIN")
    # Only the components' own names leave the library (components.map), and
    # its calls to its own functions are bound inside it, so that a program
    # with functions of the same names cannot stand in for them.
    target_link_options(${target} PRIVATE -Wl,--no-undefined -Wl,--as-needed
        -Wl,-Bsymbolic-functions -Wl,--version-script=${PROJECT_SOURCE_DIR}/cmake/components.map)
    set_property(TARGET ${target} APPEND PROPERTY LINK_DEPENDS ${PROJECT_SOURCE_DIR}/cmake/components.map)
    # The headers need C++17 (Debian 12's compiler default); a user's newer
    # standard is kept.
    target_compile_features(${target} INTERFACE cxx_std_17)
    set(headers "")
    foreach(layer ${ARG_LAYERS})
        target_link_libraries(${target} PRIVATE ${layer}_objects)
        get_property(layer_headers GLOBAL PROPERTY KV_LAYER_HEADERS_${layer})
        get_property(layer_includes GLOBAL PROPERTY KV_LAYER_INCLUDES_${layer})
        list(APPEND headers ${layer_headers})
        list(TRANSFORM layer_includes PREPEND "$<BUILD_INTERFACE:")
        list(TRANSFORM layer_includes APPEND ">")
        target_include_directories(${target} INTERFACE ${layer_includes})
    endforeach()
    target_include_directories(${target} INTERFACE $<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}>)
    set(requires "")
    foreach(dep ${ARG_DEPENDS})
        string(TOLOWER ${dep} dep_lower)
        target_link_libraries(${target} PUBLIC kv52804_${dep_lower})
        list(APPEND requires kv52804-${dep_lower})
    endforeach()
    target_link_libraries(${target} PUBLIC ${ARG_LINK})

    # The library itself goes into a runtime component of its own name (a
    # package per SONAME, cmake/Packaging.cmake); the .so link for the linker
    # goes with the headers.
    install(TARGETS ${target} EXPORT KV52804Targets COMPONENT kv52804${lower}
        LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} NAMELINK_COMPONENT dev)
    install(FILES ${headers} DESTINATION ${KV_INCLUDE_INSTALL_DIR} COMPONENT dev)
    set_property(GLOBAL APPEND PROPERTY KV_COMPONENTS ${component})

    if(ARG_PKGCONFIG)
        # Only for components that need QtCore alone: a pkg-config user of the
        # widget libraries would also need Qt's own include rules, which the
        # CMake package brings and pkg-config does not.
        list(APPEND requires Qt6Core)
        list(JOIN requires " " requires)
        set(pc ${CMAKE_BINARY_DIR}/pkgconfig/kv52804-${lower}.pc)
        # The prefix is found from the file's own place, so an installation
        # moved elsewhere (or made with cmake --install --prefix) still works.
        # Cflags carry no code generation flags (Debian's packages refuse
        # them): the compiler's default position-independent executables
        # already satisfy Qt's check for -fPIC.
        file(RELATIVE_PATH up /prefix/${CMAKE_INSTALL_LIBDIR}/pkgconfig /prefix)
        file(GENERATE OUTPUT ${pc} CONTENT
"# The headers need C++17 or newer: the compiler's default on Debian 12.
# No -std flag here, which would override a newer one given before it.
prefix=\${pcfiledir}/${up}
libdir=\${prefix}/${CMAKE_INSTALL_LIBDIR}
includedir=\${prefix}/${CMAKE_INSTALL_INCLUDEDIR}

Name: kv52804-${lower}
Description: ${ARG_PKGCONFIG}
Version: ${PROJECT_VERSION}
Requires: ${requires}
Libs: -L\${libdir} -lkv52804${lower}
Cflags: -I\${includedir}
")
        install(FILES ${pc} DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig COMPONENT dev)
    endif()
endfunction()

# The CMake package: KV52804Config.cmake finds what the requested components
# need (Qt, threads) and loads the imported targets.
function(kv_install_package)
    if(NOT KV_SHARED_LIBS)
        return()
    endif()
    get_property(KV_PACKAGE_COMPONENTS GLOBAL PROPERTY KV_COMPONENTS)
    list(JOIN KV_PACKAGE_COMPONENTS " " KV_PACKAGE_COMPONENTS)
    install(EXPORT KV52804Targets NAMESPACE KV52804:: DESTINATION ${KV_CMAKE_INSTALL_DIR}
        COMPONENT dev)
    configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/KV52804Config.cmake.in
        ${CMAKE_BINARY_DIR}/KV52804Config.cmake
        INSTALL_DESTINATION ${KV_CMAKE_INSTALL_DIR})
    # Before 1.0 every minor release may change the interface: 0.2.x serves a
    # request for 0.2 only. From 1.0 on the rule becomes SameMajorVersion.
    if(PROJECT_VERSION_MAJOR EQUAL 0)
        set(compatibility SameMinorVersion)
    else()
        set(compatibility SameMajorVersion)
    endif()
    write_basic_package_version_file(${CMAKE_BINARY_DIR}/KV52804ConfigVersion.cmake
        COMPATIBILITY ${compatibility})
    install(FILES ${CMAKE_BINARY_DIR}/KV52804Config.cmake ${CMAKE_BINARY_DIR}/KV52804ConfigVersion.cmake
        DESTINATION ${KV_CMAKE_INSTALL_DIR} COMPONENT dev)
endfunction()
cmake_language(DEFER DIRECTORY ${CMAKE_SOURCE_DIR} CALL kv_install_package)
