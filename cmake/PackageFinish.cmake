# Finishes the Windows package folder, run with cmake -P:
#   -DDIR=folder -DSTRIP=x86_64-w64-mingw32-strip
# Strips every .exe and .dll (the runtime DLLs come with their debug
# information: libstdc++-6.dll alone is 23 MB of it), gives the
# configuration Windows line ends, for Notepad and its users, and zips the
# folder into <folder>.zip beside it.
file(GLOB binaries "${DIR}/*.exe" "${DIR}/*.dll")
foreach(binary ${binaries})
    execute_process(COMMAND ${STRIP} --strip-unneeded "${binary}" RESULT_VARIABLE failed)
    if(failed)
        message(FATAL_ERROR "could not strip ${binary}")
    endif()
endforeach()
file(GLOB configurations "${DIR}/*.cfg")
foreach(configuration ${configurations})
    file(READ "${configuration}" text)
    string(REPLACE "\r\n" "\n" text "${text}")
    string(REPLACE "\n" "\r\n" text "${text}")
    file(WRITE "${configuration}" "${text}")
endforeach()
get_filename_component(parent "${DIR}" DIRECTORY)
get_filename_component(name "${DIR}" NAME)
file(REMOVE "${parent}/${name}.zip")
execute_process(COMMAND ${CMAKE_COMMAND} -E tar cf "${name}.zip" --format=zip "${name}"
    WORKING_DIRECTORY "${parent}" RESULT_VARIABLE failed)
if(failed)
    message(FATAL_ERROR "could not zip ${DIR}")
endif()
