# The windows lane, cross-built on Linux: tests run under Wine, and the
# DLLs every executable needs are put beside it, as on a Windows machine.

set(OSTRA_WINEPREFIX ${CMAKE_BINARY_DIR}/wineprefix)
set(OSTRA_WINE_SESSION ${PROJECT_SOURCE_DIR}/cmake/wine-session.sh)
configure_file(${PROJECT_SOURCE_DIR}/cmake/wine-run.sh.in ${CMAKE_BINARY_DIR}/wine-run.sh @ONLY
    FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE
    WORLD_READ WORLD_EXECUTE)
set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_BINARY_DIR}/wine-run.sh)

# The runtime DLLs: libconfig's, and the compiler's own.
find_file(OSTRA_LIBCONFIGPP_DLL libconfig++-9.dll PATH_SUFFIXES bin REQUIRED)
set(OSTRA_RUNTIME_DLLS ${OSTRA_LIBCONFIGPP_DLL})
foreach(dll libstdc++-6.dll libgcc_s_seh-1.dll libwinpthread-1.dll)
    execute_process(COMMAND ${CMAKE_CXX_COMPILER} -print-file-name=${dll}
        OUTPUT_VARIABLE dll_path OUTPUT_STRIP_TRAILING_WHITESPACE)
    if(NOT IS_ABSOLUTE "${dll_path}" OR NOT EXISTS "${dll_path}")
        message(FATAL_ERROR "mingw runtime ${dll} not found")
    endif()
    list(APPEND OSTRA_RUNTIME_DLLS ${dll_path})
endforeach()

# libpq.dll is the pgsql plug-in's alone: it is not among the runtime DLLs
# every package carries, but the tests load the plug-in from here.
add_custom_target(runtime_dlls ALL
    COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_RUNTIME_OUTPUT_DIRECTORY}
    COMMAND ${CMAKE_COMMAND} -E copy_if_different ${OSTRA_RUNTIME_DLLS}
        $<TARGET_FILE:ostra::libpq> ${CMAKE_RUNTIME_OUTPUT_DIRECTORY}
    COMMENT "Putting the runtime DLLs beside the executables")
