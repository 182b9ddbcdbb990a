# Installation: libraries, the header tree (under include/vexatokenkit, keeping the folders, since
# headers include each other from the repository root), the CMake package with exported targets
# VexaTokenKit::*, and a pkg-config file.
include(CMakePackageConfigHelpers)

set(VEXA_PACKAGE_TARGETS vexatokenkit)
set(VEXA_HEADER_DIRS Platform LumoTokenSDK VexaTokenKit)
if(TARGET vexatokenkit_sim)
    list(APPEND VEXA_PACKAGE_TARGETS vexatokenkit_sim)
    list(APPEND VEXA_HEADER_DIRS Backends/Simulated Emulator)
endif()
set(VEXA_PACKAGE_HAS_BLUEZ OFF)
if(TARGET vexatokenkit_bluez)
    list(APPEND VEXA_PACKAGE_TARGETS vexatokenkit_bluez)
    list(APPEND VEXA_HEADER_DIRS Backends/BlueZ)
    set(VEXA_PACKAGE_HAS_BLUEZ ON)
endif()

# The same names inside this build as for an outside consumer (examples/ uses them).
foreach(target IN LISTS VEXA_PACKAGE_TARGETS)
    add_library(VexaTokenKit::${target} ALIAS ${target})
endforeach()

install(TARGETS ${VEXA_PACKAGE_TARGETS} EXPORT VexaTokenKitTargets
    ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
    LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
    INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/vexatokenkit)
foreach(dir IN LISTS VEXA_HEADER_DIRS)
    get_filename_component(parent ${dir} DIRECTORY)
    install(DIRECTORY ${PROJECT_SOURCE_DIR}/${dir}
        DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/vexatokenkit/${parent}
        FILES_MATCHING PATTERN "*.h")
endforeach()

set(VEXA_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/VexaTokenKit)
install(EXPORT VexaTokenKitTargets NAMESPACE VexaTokenKit:: DESTINATION ${VEXA_CMAKE_DIR})
configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/VexaTokenKitConfig.cmake.in
    ${PROJECT_BINARY_DIR}/VexaTokenKitConfig.cmake
    INSTALL_DESTINATION ${VEXA_CMAKE_DIR})
write_basic_package_version_file(${PROJECT_BINARY_DIR}/VexaTokenKitConfigVersion.cmake
    VERSION ${PROJECT_VERSION} COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/VexaTokenKitConfig.cmake ${PROJECT_BINARY_DIR}/VexaTokenKitConfigVersion.cmake
    DESTINATION ${VEXA_CMAKE_DIR})

# @ONLY at install time, so that the prefix given to `cmake --install --prefix` is the one written.
install(CODE "
    set(CMAKE_INSTALL_PREFIX \"\${CMAKE_INSTALL_PREFIX}\")
    set(CMAKE_INSTALL_LIBDIR \"${CMAKE_INSTALL_LIBDIR}\")
    set(CMAKE_INSTALL_INCLUDEDIR \"${CMAKE_INSTALL_INCLUDEDIR}\")
    set(PROJECT_VERSION \"${PROJECT_VERSION}\")
    configure_file(\"${PROJECT_SOURCE_DIR}/cmake/vexatokenkit.pc.in\" \"${PROJECT_BINARY_DIR}/vexatokenkit.pc\" @ONLY)
")
install(FILES ${PROJECT_BINARY_DIR}/vexatokenkit.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)

# The Wireshark dissector of the token protocol (load it with -X lua_script:, or copy it into
# Wireshark's personal plugins folder).
install(FILES ${PROJECT_SOURCE_DIR}/tools/wireshark/vexatoken.lua DESTINATION ${CMAKE_INSTALL_DATADIR}/vexatokenkit/wireshark)
