# cmake -DCOMPILER=CXX -DINCLUDES=DIR;DIR -DSOURCE=FILE -P compile_errors.cmake
# Compiles SOURCE as C++14 and prints "errors: N" and the first error line.
set(flags)
foreach(dir IN LISTS INCLUDES)
  list(APPEND flags -I${dir})
endforeach()
execute_process(COMMAND ${COMPILER} -std=c++14 -fsyntax-only ${flags} ${SOURCE}
  ERROR_VARIABLE output OUTPUT_VARIABLE output)
# Semicolons would split the messages into list items of their own.
string(REPLACE ";" "," output "${output}")
string(REGEX MATCHALL ": error: [^\n]*" errors "${output}")
list(LENGTH errors count)
set(first "")
if(count GREATER 0)
  list(GET errors 0 first)
endif()
message("errors: ${count} ${first}")
