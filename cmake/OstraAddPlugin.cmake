# ostra_add_plugin(name source...): a plug-in library, named as the
# configuration names it (name.dll on Windows, name.so on Linux), built
# against OstraService::plugin: the contract headers, ostracommon, liblog
# and libconfig++. Only the factory and the kind marker are exported.
# Shared by the tree and the installed package.
function(ostra_add_plugin name)
    add_library(${name} MODULE ${ARGN})
    set_target_properties(${name} PROPERTIES PREFIX "" CXX_VISIBILITY_PRESET hidden
        VISIBILITY_INLINES_HIDDEN ON)
    target_link_libraries(${name} PRIVATE OstraService::plugin)
endfunction()
