# The folder a user copies to a Windows machine: the executable (once it is
# built), our DLLs, the bundled plug-ins, the runtime DLLs and the default
# configuration that wires the plug-ins together.
set(OSTRA_PACKAGE_DIR ${CMAKE_BINARY_DIR}/package/OstraService)
set(package_files $<TARGET_FILE:ostracommon> $<TARGET_FILE:liblog> ${OSTRA_RUNTIME_DLLS}
    $<TARGET_FILE:tcpline> $<TARGET_FILE:sqlite> $<TARGET_FILE:webcontrol>
    ${CMAKE_RUNTIME_OUTPUT_DIRECTORY}/OstraService.cfg)
if(TARGET OstraService)
    list(APPEND package_files $<TARGET_FILE:OstraService>)
endif()
add_custom_target(package_folder
    COMMAND ${CMAKE_COMMAND} -E rm -rf ${OSTRA_PACKAGE_DIR}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${OSTRA_PACKAGE_DIR}
    COMMAND ${CMAKE_COMMAND} -E copy ${package_files} ${OSTRA_PACKAGE_DIR}
    DEPENDS ostracommon liblog runtime_dlls tcpline sqlite webcontrol
    COMMENT "Putting the Windows package together in ${OSTRA_PACKAGE_DIR}")

if(OSTRA_BUILD_TESTS)
    add_executable(package_probe ${PROJECT_SOURCE_DIR}/tests/package/PackageProbe.cpp)
    target_link_libraries(package_probe PRIVATE ostracommon liblog ostraplatform libconfig::config++)
    add_dependencies(package_probe package_folder)
    add_test(NAME WindowsPackage.RunsFromACopyInAFreshWinePrefix
        COMMAND ${PROJECT_SOURCE_DIR}/tests/package/run-package-test.sh ${OSTRA_PACKAGE_DIR}
            $<TARGET_FILE:package_probe>)
    set_tests_properties(WindowsPackage.RunsFromACopyInAFreshWinePrefix PROPERTIES TIMEOUT 300)
endif()
