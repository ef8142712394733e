# Modules built as users' plug-ins and the apps that load them are: in
# Microsoft's C++ ABI (its table layout, type information and, on x86,
# thiscall members), here by clang and lld-link, without a C runtime. The rest
# of the project is MinGW's, so these are made by custom commands: the client
# plug-in that ships (clients/bondriver), the test plug-ins and the app double.
# What they all need of a runtime is product code, in clients/msabi.
#
#   add_msabi_dll(NAME DESCRIPTION text SOURCES file... [INCLUDES dir...]
#                 [DEFINES name=value...] [HANDLERS])
#
# makes ${CMAKE_BINARY_DIR}/bin/NAME.dll, importing kernel32 only, with a
# version resource that says DESCRIPTION, and a target NAME that builds it.
# HANDLERS builds it as MSVC builds by default: unwind tables, buffer-security
# checks and structured exception handling, and on 64-bit C++ exceptions,
# with the handlers and the check a runtime would give from testing/msabi
# (MSABI_HANDLER_SOURCES; test plug-ins only).
#
#   add_msabi_exe(NAME DESCRIPTION text SOURCES file... [INCLUDES dir...]
#                 [DEFINES name=value...] [IMPORTS file.def...])
#
# makes ${CMAKE_BINARY_DIR}/bin/NAME.exe, a console program whose entry point
# is AppMain, importing kernel32 and what the .def files name.

find_program(MSABI_CLANG NAMES clang-14 clang REQUIRED)
find_program(MSABI_LLD_LINK NAMES lld-link-14 lld-link REQUIRED)
find_program(MSABI_DLLTOOL NAMES llvm-dlltool-14 llvm-dlltool REQUIRED)
find_program(MSABI_RC NAMES llvm-rc-14 llvm-rc REQUIRED)

set(MSABI_RUNTIME_DIR ${PROJECT_SOURCE_DIR}/clients/msabi)
set(MSABI_TEST_DIR ${PROJECT_SOURCE_DIR}/testing/msabi)
set(MSABI_WORK_DIR ${CMAKE_BINARY_DIR}/msabi)

if(CMAKE_SIZEOF_VOID_P EQUAL 8)
  set(MSABI_TRIPLE x86_64-pc-windows-msvc)
  set(MSABI_MACHINE x64)
  set(MSABI_ENTRY DllMain)
  set(MSABI_HANDLER_ENTRY _DllMainCRTStartup)
  # C++ exceptions want the 64-bit frame handler (CxxHandler.cpp); 32-bit
  # images get the buffer-security checks and __try only.
  set(MSABI_HANDLER_FLAGS -fexceptions -fcxx-exceptions -Xclang -fexternc-nounwind)
  set(MSABI_DLLTOOL_ARGS -m i386:x86-64)
  # 64-bit names carry no decoration.
  file(READ ${MSABI_RUNTIME_DIR}/kernel32.def def_text)
  string(REGEX REPLACE "@[0-9]+" "" def_text "${def_text}")
  file(CONFIGURE OUTPUT ${MSABI_WORK_DIR}/kernel32.def CONTENT "${def_text}")
else()
  set(MSABI_TRIPLE i686-pc-windows-msvc)
  set(MSABI_MACHINE x86)
  set(MSABI_ENTRY DllMain@12)  # lld-link adds the leading underscore
  set(MSABI_HANDLER_ENTRY _DllMainCRTStartup@12)
  set(MSABI_HANDLER_FLAGS -fno-exceptions)
  # -k: linked by the decorated name, imported by the plain one.
  set(MSABI_DLLTOOL_ARGS -m i386 -k)
  configure_file(${MSABI_RUNTIME_DIR}/kernel32.def ${MSABI_WORK_DIR}/kernel32.def COPYONLY)
endif()
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${MSABI_RUNTIME_DIR}/kernel32.def)

# An import library made from a .def file, for the modules to link with.
function(msabi_import_library out_var def)
  get_filename_component(base ${def} NAME_WE)
  set(lib ${MSABI_WORK_DIR}/${base}.lib)
  add_custom_command(OUTPUT ${lib}
    COMMAND ${MSABI_DLLTOOL} -d ${def} -l ${lib} ${MSABI_DLLTOOL_ARGS}
    DEPENDS ${def}
    COMMENT "Import library ${base}.lib for the Microsoft-ABI modules"
    VERBATIM)
  set(${out_var} ${lib} PARENT_SCOPE)
endfunction()

msabi_import_library(MSABI_KERNEL32_LIB ${MSABI_WORK_DIR}/kernel32.def)
add_custom_target(msabi_kernel32 DEPENDS ${MSABI_KERNEL32_LIB})

# Freestanding: no C runtime, no system headers; RTTI stays on, because
# TunerHost reads the type information and apps downcast with it. No stack
# probes. The bare build has no exception handling, unwind data or cookies,
# which would want the runtime's helpers.
set(MSABI_CXX_FLAGS --target=${MSABI_TRIPLE} -std=c++20 -O2 -ffreestanding -nostdlibinc
    -fno-threadsafe-statics -mno-stack-arg-probe -Wall -Wextra -Wno-unused-parameter)
set(MSABI_BARE_FLAGS -fno-exceptions -fno-stack-protector)
# Built as MSVC builds (/EHsc /GS): every function's unwind data, the
# handlers' tables (functions declared extern "C", kernel32's, never throw),
# and a cookie check in every function with a local array.
list(APPEND MSABI_HANDLER_FLAGS -DMSABI_HANDLERS=1 -fms-extensions -funwind-tables -fasynchronous-unwind-tables
    -fstack-protector-strong)
set(MSABI_HANDLER_SOURCES ${MSABI_TEST_DIR}/SecurityCookie.cpp ${MSABI_TEST_DIR}/SehHandler.cpp
    ${MSABI_TEST_DIR}/CxxHandler.cpp)

# Compiles the sources into ${MSABI_WORK_DIR}/NAME/ and links them with the
# version resource into `output`; the arguments after `output` go to lld-link.
function(msabi_link name output description sources flags includes defines)
  set(objdir ${MSABI_WORK_DIR}/${name})
  file(MAKE_DIRECTORY ${objdir})
  set(include_flags -I${MSABI_RUNTIME_DIR})
  foreach(dir ${includes})
    list(APPEND include_flags -I${dir})
  endforeach()
  foreach(def ${defines})
    list(APPEND include_flags -D${def})
  endforeach()

  set(objects)
  foreach(src ${sources})
    get_filename_component(abs ${src} ABSOLUTE)
    get_filename_component(base ${src} NAME_WE)
    set(obj ${objdir}/${base}.obj)
    add_custom_command(OUTPUT ${obj}
      COMMAND ${MSABI_CLANG} ${flags} ${include_flags} -MD -MF ${obj}.d -c ${abs} -o ${obj}
      DEPENDS ${abs}
      DEPFILE ${obj}.d
      COMMENT "Building ${name}: ${base}.cpp (clang, Microsoft ABI)"
      VERBATIM)
    list(APPEND objects ${obj})
  endforeach()

  get_filename_component(file_name ${output} NAME)
  tunerhost_version_rc(rc ${name} ${file_name} "${description}")
  set(res ${objdir}/${name}.res)
  # llvm-rc and lld-link read a path such as /ci/... or /usr/... as an option
  # (/c, /d, /u): they are given names relative to the object folder instead.
  file(RELATIVE_PATH rc_rel ${objdir} ${rc})
  add_custom_command(OUTPUT ${res}
    COMMAND ${MSABI_RC} /nologo /fo ${name}.res ${rc_rel}
    DEPENDS ${rc}
    WORKING_DIRECTORY ${objdir}
    COMMENT "Version resource of ${file_name} (llvm-rc)"
    VERBATIM)

  set(object_names)
  foreach(obj ${objects})
    get_filename_component(obj_name ${obj} NAME)
    list(APPEND object_names ${obj_name})
  endforeach()
  set(libs)
  foreach(lib ${MSABI_KERNEL32_LIB} ${ARGN})
    file(RELATIVE_PATH lib_rel ${objdir} ${lib})
    list(APPEND libs ${lib_rel})
  endforeach()
  add_custom_command(OUTPUT ${output}
    COMMAND ${MSABI_LLD_LINK} /nologo /brepro /nodefaultlib /machine:${MSABI_MACHINE} /out:${output}
            ${MSABI_LINK_MODE} ${object_names} ${name}.res ${libs}
    DEPENDS ${objects} ${res} ${MSABI_KERNEL32_LIB} ${ARGN}
    WORKING_DIRECTORY ${objdir}
    COMMENT "Linking ${file_name} (lld-link, Microsoft ABI)"
    VERBATIM)
  add_custom_target(${name} ALL DEPENDS ${output})
  add_dependencies(${name} msabi_kernel32)
endfunction()

function(add_msabi_dll name)
  cmake_parse_arguments(ARG "HANDLERS" "DESCRIPTION" "SOURCES;INCLUDES;DEFINES" ${ARGN})
  set(flags ${MSABI_CXX_FLAGS} ${MSABI_BARE_FLAGS})
  set(runtime ${MSABI_RUNTIME_DIR}/Runtime.cpp)
  set(entry ${MSABI_ENTRY})
  set(includes ${ARG_INCLUDES})
  if(ARG_HANDLERS)
    set(flags ${MSABI_CXX_FLAGS} ${MSABI_HANDLER_FLAGS})
    list(APPEND runtime ${MSABI_HANDLER_SOURCES})
    list(APPEND includes ${MSABI_TEST_DIR})
    set(entry ${MSABI_HANDLER_ENTRY})
  endif()
  set(MSABI_LINK_MODE /dll /entry:${entry} /subsystem:windows /implib:${name}.lib)
  msabi_link(${name} ${CMAKE_BINARY_DIR}/bin/${name}.dll "${ARG_DESCRIPTION}" "${ARG_SOURCES};${runtime}"
             "${flags}" "${includes}" "${ARG_DEFINES}")
endfunction()

function(add_msabi_exe name)
  cmake_parse_arguments(ARG "" "DESCRIPTION" "SOURCES;INCLUDES;DEFINES;IMPORTS" ${ARGN})
  set(imports)
  foreach(def ${ARG_IMPORTS})
    msabi_import_library(lib ${def})
    list(APPEND imports ${lib})
  endforeach()
  set(MSABI_LINK_MODE /entry:AppMain /subsystem:console)
  msabi_link(${name} ${CMAKE_BINARY_DIR}/bin/${name}.exe "${ARG_DESCRIPTION}"
             "${ARG_SOURCES};${MSABI_RUNTIME_DIR}/Runtime.cpp" "${MSABI_CXX_FLAGS};${MSABI_BARE_FLAGS}"
             "${ARG_INCLUDES}" "${ARG_DEFINES}" ${imports})
endfunction()
