# brivant_split_httplib(HEADER OUT_DIR): cpp-httplib's single header split,
# the way cpp-httplib's own split.py makes the .h + .cc form that Debian's
# libcpp-httplib-dev ships: OUT_DIR/httplib.h holds the declarations and
# templates, OUT_DIR/httplib_implementation.inc the rest. The header marks
# that part with a line of dashes before and after it; there its functions
# lose their `inline`, so that the one file that includes it defines them
# for every caller. Each file is written only when its text changes, so a
# new configure rebuilds nothing.
function(brivant_split_httplib header out_dir)
  set(border "// ----------------------------------------------------------------------------")
  file(READ ${header} text)
  string(FIND "${text}" "${border}" first)
  string(FIND "${text}" "${border}" last REVERSE)
  if(first EQUAL -1 OR first EQUAL last)
    message(FATAL_ERROR "${header}: no implementation part between two '${border}' lines")
  endif()
  string(LENGTH "${border}" border_length)
  math(EXPR body_start "${first} + ${border_length}")
  math(EXPR body_length "${last} - ${body_start}")
  math(EXPR tail_start "${last} + ${border_length}")
  string(SUBSTRING "${text}" 0 ${first} head)
  string(SUBSTRING "${text}" ${body_start} ${body_length} body)
  string(SUBSTRING "${text}" ${tail_start} -1 tail)
  string(REPLACE "inline " "" body "${body}")
  # On Windows the header maps poll() onto WSAPoll() until its last lines,
  # which stay in the header: the implementation maps it again for itself.
  string(REGEX MATCH "#define poll\\([^\n]*" poll_define "${head}")
  if(poll_define)
    set(body_start_text "#if defined(_WIN32) && defined(CPPHTTPLIB_USE_POLL)\n${poll_define}\n#endif\n")
    set(body_end_text "#if defined(_WIN32) && defined(CPPHTTPLIB_USE_POLL)\n#undef poll\n#endif\n")
  endif()
  # Named as the source tree has it, so the text is the same in any clone.
  file(RELATIVE_PATH header_name ${PROJECT_SOURCE_DIR} ${header})
  file(MAKE_DIRECTORY ${out_dir})
  file(WRITE ${out_dir}/httplib.h.new "${head}${tail}")
  file(WRITE ${out_dir}/httplib_implementation.inc.new
    "// cpp-httplib's implementation, split from ${header_name}.\n${body_start_text}namespace httplib {\n${body}} // namespace httplib\n${body_end_text}")
  foreach(name httplib.h httplib_implementation.inc)
    configure_file(${out_dir}/${name}.new ${out_dir}/${name} COPYONLY)
    file(REMOVE ${out_dir}/${name}.new)
  endforeach()
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${header})
endfunction()
