# A version resource for each shipped file:
#   tunerhost_version_rc(OUT_VAR NAME FILENAME DESCRIPTION)
# writes generated/NAME.version.rc and puts its path in OUT_VAR. FILENAME's
# extension says whether it is a program or a DLL.
function(tunerhost_version_rc out_var name filename description)
  set(TH_NAME ${name})
  set(TH_FILENAME ${filename})
  set(TH_DESCRIPTION ${description})
  if(filename MATCHES "\\.[dD][lL][lL]$")
    set(TH_FILETYPE 0x2)
  else()
    set(TH_FILETYPE 0x1)
  endif()
  set(rc ${CMAKE_BINARY_DIR}/generated/${name}.version.rc)
  configure_file(${PROJECT_SOURCE_DIR}/cmake/Version.rc.in ${rc} @ONLY)
  set(${out_var} ${rc} PARENT_SCOPE)
endfunction()

# The same for a MinGW target: the resource is compiled in with it.
function(tunerhost_add_version target filename description)
  tunerhost_version_rc(rc ${target} ${filename} "${description}")
  target_sources(${target} PRIVATE ${rc})
endfunction()
