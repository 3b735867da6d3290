# find_package(OstraService CONFIG REQUIRED): the plug-in kit.
#   target_link_libraries(x PRIVATE OstraService::plugin)
#       the contract headers, ostracommon, liblog and libconfig++
#   ostra_add_plugin(name source...)
#       a plug-in library linked with OstraService::plugin
# Build plug-ins with the compiler the host was built with (g++ on Linux,
# x86_64-w64-mingw32-g++-posix for Windows): the interfaces are C++ classes.
get_filename_component(_ostra_prefix "${CMAKE_CURRENT_LIST_DIR}/../../.." ABSOLUTE)

if(NOT TARGET libconfig::config++)
    if(WIN32)
        # The kit brings the libconfig++ the host ships with.
        add_library(libconfig::config++ SHARED IMPORTED)
        set_target_properties(libconfig::config++ PROPERTIES
            IMPORTED_IMPLIB "${_ostra_prefix}/lib/libconfig++.dll.a"
            IMPORTED_LOCATION "${_ostra_prefix}/bin/libconfig++-9.dll"
            INTERFACE_INCLUDE_DIRECTORIES "${_ostra_prefix}/include/OstraService")
    else()
        find_path(OSTRA_LIBCONFIGPP_INCLUDE_DIR libconfig.h++)
        find_library(OSTRA_LIBCONFIGPP_LIBRARY config++)
        if(NOT OSTRA_LIBCONFIGPP_INCLUDE_DIR OR NOT OSTRA_LIBCONFIGPP_LIBRARY)
            set(OstraService_FOUND FALSE)
            set(OstraService_NOT_FOUND_MESSAGE
                "libconfig++ was not found (Debian: apt-get install libconfig++-dev)")
            return()
        endif()
        add_library(libconfig::config++ UNKNOWN IMPORTED)
        set_target_properties(libconfig::config++ PROPERTIES
            IMPORTED_LOCATION "${OSTRA_LIBCONFIGPP_LIBRARY}"
            INTERFACE_INCLUDE_DIRECTORIES "${OSTRA_LIBCONFIGPP_INCLUDE_DIR}")
    endif()
endif()

include("${CMAKE_CURRENT_LIST_DIR}/OstraServiceTargets.cmake")
include("${CMAKE_CURRENT_LIST_DIR}/OstraAddPlugin.cmake")
unset(_ostra_prefix)
