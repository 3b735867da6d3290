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
# Debian's source packages (scripts/build-plugin-deps-mingw.sh).
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
else()
    find_package(PkgConfig REQUIRED)
    pkg_check_modules(CPPHTTPLIB REQUIRED IMPORTED_TARGET GLOBAL cpp-httplib)
    add_library(httplib::httplib ALIAS PkgConfig::CPPHTTPLIB)
    find_package(SQLite3 REQUIRED)
    pkg_check_modules(LIBPQ REQUIRED IMPORTED_TARGET GLOBAL libpq)
    add_library(ostra::libpq ALIAS PkgConfig::LIBPQ)
endif()
