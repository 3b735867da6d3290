# cmake -DDOC=guide.md -DSOURCE=file.cpp -P CheckDocSnippet.cmake
# Fails unless the text of SOURCE appears in DOC word for word, so a guide
# that shows a source file whole cannot drift from it.
file(READ "${DOC}" doc)
file(READ "${SOURCE}" source)
string(FIND "${doc}" "${source}" at)
if(at EQUAL -1)
    message(FATAL_ERROR "${DOC} does not show ${SOURCE} as it is")
endif()
