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

# The bundled plug-ins' libraries. Linux: Debian's packages. Windows:
# cpp-httplib's single header and SQLite's amalgamation, both made from
# Debian's source packages (scripts/build-plugin-deps-mingw.sh), and libpq
# cross-built from Debian's postgresql-15 source (scripts/build-libpq-mingw.sh).
if(WIN32)
    set(OSTRA_WINDOWS_SOURCES "" CACHE PATH "Folder with httplib/ and sqlite/ for Windows")
    find_path(OSTRA_HTTPLIB_DIR httplib.h PATHS ${OSTRA_WINDOWS_SOURCES}/httplib
        NO_DEFAULT_PATH NO_CMAKE_FIND_ROOT_PATH REQUIRED)
    add_library(httplib::httplib INTERFACE IMPORTED)
    set_target_properties(httplib::httplib PROPERTIES
        INTERFACE_INCLUDE_DIRECTORIES "${OSTRA_HTTPLIB_DIR}"
        INTERFACE_LINK_LIBRARIES "ws2_32;crypt32")

    enable_language(C)
    find_path(OSTRA_SQLITE_DIR sqlite3.c PATHS ${OSTRA_WINDOWS_SOURCES}/sqlite
        NO_DEFAULT_PATH NO_CMAKE_FIND_ROOT_PATH REQUIRED)
    add_library(ostrasqlite3 STATIC ${OSTRA_SQLITE_DIR}/sqlite3.c)
    target_include_directories(ostrasqlite3 SYSTEM PUBLIC ${OSTRA_SQLITE_DIR})
    target_compile_definitions(ostrasqlite3 PRIVATE SQLITE_THREADSAFE=1 SQLITE_OMIT_LOAD_EXTENSION)
    target_compile_options(ostrasqlite3 PRIVATE -w)
    add_library(SQLite::SQLite3 ALIAS ostrasqlite3)

    # libpq.dll, linked through its import library; the windows lane puts
    # the DLL beside the executables (WindowsLane.cmake). The prefix is
    # named, not searched for: a newer build lies in a folder of its own.
    set(OSTRA_WINDOWS_LIBPQ "" CACHE PATH "Prefix of libpq built for Windows")
    foreach(file include/libpq-fe.h lib/libpq.dll.a bin/libpq.dll)
        if(NOT EXISTS "${OSTRA_WINDOWS_LIBPQ}/${file}")
            message(FATAL_ERROR "${file} not found in OSTRA_WINDOWS_LIBPQ "
                "'${OSTRA_WINDOWS_LIBPQ}' (made by scripts/build-libpq-mingw.sh)")
        endif()
    endforeach()
    add_library(ostra::libpq SHARED IMPORTED GLOBAL)
    set_target_properties(ostra::libpq PROPERTIES
        IMPORTED_LOCATION "${OSTRA_WINDOWS_LIBPQ}/bin/libpq.dll"
        IMPORTED_IMPLIB "${OSTRA_WINDOWS_LIBPQ}/lib/libpq.dll.a"
        INTERFACE_INCLUDE_DIRECTORIES "${OSTRA_WINDOWS_LIBPQ}/include")
else()
    find_package(PkgConfig REQUIRED)
    pkg_check_modules(CPPHTTPLIB REQUIRED IMPORTED_TARGET GLOBAL cpp-httplib)
    add_library(httplib::httplib ALIAS PkgConfig::CPPHTTPLIB)
    find_package(SQLite3 REQUIRED)
    pkg_check_modules(LIBPQ REQUIRED IMPORTED_TARGET GLOBAL libpq)
    add_library(ostra::libpq ALIAS PkgConfig::LIBPQ)
endif()
