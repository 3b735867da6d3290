# cmake --install BUILD --prefix PREFIX: the plug-in kit, what a plug-in
# built outside this tree needs and nothing of the host's own.
#   PREFIX/include/OstraService   the public headers (include/)
#   PREFIX/lib                    libostracommon.so.N and liblog.so.N (Linux);
#                                 the import libraries (Windows)
#   PREFIX/bin                    ostracommon.dll and liblog.dll (Windows)
#   PREFIX/lib/cmake/OstraService find_package(OstraService CONFIG): the
#                                 OstraService::plugin target and
#                                 ostra_add_plugin()
# On Windows libconfig++'s header, import library and DLL come along,
# built from the same source as the ones the host ships with.
include(CMakePackageConfigHelpers)

set(ostra_package_dir lib/cmake/OstraService)
install(DIRECTORY ${PROJECT_SOURCE_DIR}/include/ DESTINATION include/OstraService
    FILES_MATCHING PATTERN "*.h")
install(TARGETS ostracommon liblog ostraplugin EXPORT OstraServiceTargets
    RUNTIME DESTINATION bin LIBRARY DESTINATION lib ARCHIVE DESTINATION lib)
install(EXPORT OstraServiceTargets NAMESPACE OstraService:: DESTINATION ${ostra_package_dir})
# The package's version is the kit's binary interface version: a plug-in
# asking for version N gets a kit of that same interface (SameMajorVersion).
write_basic_package_version_file(${CMAKE_BINARY_DIR}/OstraServiceConfigVersion.cmake
    VERSION ${OSTRA_KIT_ABI_VERSION}.0 COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_SOURCE_DIR}/cmake/OstraServiceConfig.cmake
    ${PROJECT_SOURCE_DIR}/cmake/OstraAddPlugin.cmake
    ${CMAKE_BINARY_DIR}/OstraServiceConfigVersion.cmake DESTINATION ${ostra_package_dir})

if(WIN32)
    install(FILES ${LIBCONFIGPP_INCLUDE_DIR}/libconfig.h++ DESTINATION include/OstraService)
    install(FILES ${LIBCONFIGPP_LIBRARY} DESTINATION lib)
    install(FILES ${OSTRA_LIBCONFIGPP_DLL} DESTINATION bin)
endif()
