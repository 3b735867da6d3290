# The folder a user copies to a Windows machine: the executable (once it is
# built), our DLLs, the bundled plug-ins, the runtime DLLs and the default
# configuration that wires the plug-ins together; stripped, with CRLF line
# ends in the configuration, and the same folder as a zip beside it.
set(OSTRA_PACKAGE_DIR ${CMAKE_BINARY_DIR}/package/OstraService)
set(package_plugins tcpline sqlite webcontrol)
set(package_files $<TARGET_FILE:ostracommon> $<TARGET_FILE:liblog> ${OSTRA_RUNTIME_DLLS}
    ${CMAKE_RUNTIME_OUTPUT_DIRECTORY}/OstraService.cfg ${CMAKE_RUNTIME_OUTPUT_DIRECTORY}/OstraService.pgsql.cfg
    ${CMAKE_RUNTIME_OUTPUT_DIRECTORY}/VERSION
    ${PROJECT_SOURCE_DIR}/packaging/prometheus/ostraservice.rules.yml)
# The PostgreSQL plug-in comes with the libpq.dll it needs, and libpq with
# its licence, which asks for its notice in every copy.
set(package_notices)
if(TARGET pgsql)
    list(APPEND package_plugins pgsql)
    list(APPEND package_files $<TARGET_FILE:ostra::libpq>)
    set(package_notices COMMAND ${CMAKE_COMMAND} -E copy ${OSTRA_WINDOWS_LIBPQ}/COPYRIGHT
        ${OSTRA_PACKAGE_DIR}/libpq-COPYRIGHT.txt)
endif()
foreach(plugin ${package_plugins})
    list(APPEND package_files $<TARGET_FILE:${plugin}>)
endforeach()
set(package_executable)
if(TARGET OstraService)
    list(APPEND package_files $<TARGET_FILE:OstraService>)
    set(package_executable OstraService)
endif()
add_custom_target(package_folder
    COMMAND ${CMAKE_COMMAND} -E rm -rf ${OSTRA_PACKAGE_DIR}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${OSTRA_PACKAGE_DIR}
    COMMAND ${CMAKE_COMMAND} -E copy ${package_files} ${OSTRA_PACKAGE_DIR}
    ${package_notices}
    COMMAND ${CMAKE_COMMAND} -DDIR=${OSTRA_PACKAGE_DIR} -DSTRIP=${CMAKE_STRIP}
        -P ${PROJECT_SOURCE_DIR}/cmake/PackageFinish.cmake
    DEPENDS ostracommon liblog runtime_dlls ${package_plugins} ${package_executable}
    COMMENT "Putting the Windows package together in ${OSTRA_PACKAGE_DIR} and OstraService.zip")

if(OSTRA_BUILD_TESTS)
    add_executable(package_probe ${PROJECT_SOURCE_DIR}/tests/package/PackageProbe.cpp)
    target_link_libraries(package_probe PRIVATE ostracommon liblog ostraplatform libconfig::config++)
    add_dependencies(package_probe package_folder)
    add_test(NAME WindowsPackage.RunsFromACopyInAFreshWinePrefix
        COMMAND ${PROJECT_SOURCE_DIR}/tests/package/run-package-test.sh ${OSTRA_PACKAGE_DIR}
            $<TARGET_FILE:package_probe>)
    set_tests_properties(WindowsPackage.RunsFromACopyInAFreshWinePrefix PROPERTIES TIMEOUT 300)

    # The zip as a user gets it: unpacked into a fresh Wine prefix, the
    # service is installed, started, serves a record, is stopped and removed.
    add_test(NAME WindowsPackage.TheZipInstallsServesAndIsRemovedInAFreshWinePrefix
        COMMAND ${PROJECT_SOURCE_DIR}/tests/package/run-zip-test.sh
            ${CMAKE_BINARY_DIR}/package/OstraService.zip)
    set_tests_properties(WindowsPackage.TheZipInstallsServesAndIsRemovedInAFreshWinePrefix PROPERTIES
        TIMEOUT 300 RESOURCE_LOCK default_ports)

    # The MSI built by packaging/msi/make-msi.sh from this folder, this version
    # and a newer one: installed, installed again, upgraded over an edited
    # configuration and uninstalled, in a fresh Wine prefix.
    add_test(NAME WindowsPackage.TheMsiInstallsUpgradesAndUninstallsInAFreshWinePrefix
        COMMAND ${PROJECT_SOURCE_DIR}/tests/package/run-msi-test.sh ${OSTRA_PACKAGE_DIR})
    set_tests_properties(WindowsPackage.TheMsiInstallsUpgradesAndUninstallsInAFreshWinePrefix
        PROPERTIES TIMEOUT 300 RESOURCE_LOCK default_ports)
endif()
