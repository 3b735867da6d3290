# libconfig++: Debian's package on Linux; for the windows lane a prefix built
# from Debian's source package (scripts/build-libconfig-mingw.sh), passed in
# through CMAKE_PREFIX_PATH / CMAKE_FIND_ROOT_PATH by the toolchain.
find_path(LIBCONFIGPP_INCLUDE_DIR libconfig.h++ REQUIRED)
if(WIN32)
    # The DLL's import library: host and plug-ins must share one libconfig.
    find_library(LIBCONFIGPP_LIBRARY NAMES libconfig++.dll.a REQUIRED)
else()
    find_library(LIBCONFIGPP_LIBRARY NAMES config++ REQUIRED)
endif()
add_library(libconfig::config++ UNKNOWN IMPORTED)
set_target_properties(libconfig::config++ PROPERTIES
    IMPORTED_LOCATION "${LIBCONFIGPP_LIBRARY}"
    INTERFACE_INCLUDE_DIRECTORIES "${LIBCONFIGPP_INCLUDE_DIR}")
if(WIN32)
    # The import library links against libconfig++-9.dll.
    set_target_properties(libconfig::config++ PROPERTIES IMPORTED_IMPLIB "${LIBCONFIGPP_LIBRARY}")
endif()

find_package(Threads REQUIRED)
