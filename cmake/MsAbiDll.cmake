# The test plug-ins are built as users' plug-ins are: in Microsoft's C++ ABI
# (its table layout, type information and, on x86, thiscall members), here by
# clang and lld-link, without a C runtime, importing kernel32 only. The rest
# of the project is MinGW's, so these DLLs are made by custom commands.
#
#   add_msabi_dll(NAME DESCRIPTION text SOURCES file... [INCLUDES dir...] [HANDLERS])
#
# makes ${CMAKE_BINARY_DIR}/bin/NAME.dll, with a version resource that says
# DESCRIPTION, and a target NAME that builds it. HANDLERS builds it as MSVC
# builds by default: unwind tables, buffer-security checks and structured
# exception handling, and on 64-bit C++ exceptions, with the handlers and the
# check a runtime would give from testing/msabi (MSABI_HANDLER_SOURCES).

find_program(MSABI_CLANG NAMES clang-14 clang REQUIRED)
find_program(MSABI_LLD_LINK NAMES lld-link-14 lld-link REQUIRED)
find_program(MSABI_DLLTOOL NAMES llvm-dlltool-14 llvm-dlltool REQUIRED)
find_program(MSABI_RC NAMES llvm-rc-14 llvm-rc REQUIRED)

set(MSABI_SUPPORT_DIR ${PROJECT_SOURCE_DIR}/testing/msabi)
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
  file(READ ${MSABI_SUPPORT_DIR}/kernel32.def def_text)
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
  configure_file(${MSABI_SUPPORT_DIR}/kernel32.def ${MSABI_WORK_DIR}/kernel32.def COPYONLY)
endif()
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${MSABI_SUPPORT_DIR}/kernel32.def)

set(MSABI_KERNEL32_LIB ${MSABI_WORK_DIR}/kernel32.lib)
add_custom_command(OUTPUT ${MSABI_KERNEL32_LIB}
  COMMAND ${MSABI_DLLTOOL} -d ${MSABI_WORK_DIR}/kernel32.def -l ${MSABI_KERNEL32_LIB} ${MSABI_DLLTOOL_ARGS}
  DEPENDS ${MSABI_WORK_DIR}/kernel32.def
  COMMENT "Import library kernel32.lib for the Microsoft-ABI DLLs"
  VERBATIM)
add_custom_target(msabi_kernel32 DEPENDS ${MSABI_KERNEL32_LIB})

# Freestanding: no C runtime, no system headers; RTTI stays on, because
# TunerHost reads the type information. No stack probes. The bare build has
# no exception handling, unwind data or cookies, which would want the
# runtime's helpers.
set(MSABI_CXX_FLAGS --target=${MSABI_TRIPLE} -std=c++20 -O2 -ffreestanding -nostdlibinc
    -fno-threadsafe-statics -mno-stack-arg-probe -Wall -Wextra -Wno-unused-parameter)
set(MSABI_BARE_FLAGS -fno-exceptions -fno-stack-protector)
# Built as MSVC builds (/EHsc /GS): every function's unwind data, the
# handlers' tables (functions declared extern "C", kernel32's, never throw),
# and a cookie check in every function with a local array.
list(APPEND MSABI_HANDLER_FLAGS -DMSABI_HANDLERS=1 -fms-extensions -funwind-tables -fasynchronous-unwind-tables
    -fstack-protector-strong)
set(MSABI_HANDLER_SOURCES ${MSABI_SUPPORT_DIR}/SecurityCookie.cpp ${MSABI_SUPPORT_DIR}/SehHandler.cpp
    ${MSABI_SUPPORT_DIR}/CxxHandler.cpp)

function(add_msabi_dll name)
  cmake_parse_arguments(ARG "HANDLERS" "DESCRIPTION" "SOURCES;INCLUDES" ${ARGN})
  set(flags ${MSABI_CXX_FLAGS} ${MSABI_BARE_FLAGS})
  set(runtime ${MSABI_SUPPORT_DIR}/Runtime.cpp)
  set(entry ${MSABI_ENTRY})
  if(ARG_HANDLERS)
    set(flags ${MSABI_CXX_FLAGS} ${MSABI_HANDLER_FLAGS})
    list(APPEND runtime ${MSABI_HANDLER_SOURCES})
    set(entry ${MSABI_HANDLER_ENTRY})
  endif()
  set(objdir ${MSABI_WORK_DIR}/${name})
  file(MAKE_DIRECTORY ${objdir})
  set(includes -I${MSABI_SUPPORT_DIR})
  foreach(dir ${ARG_INCLUDES})
    list(APPEND includes -I${dir})
  endforeach()

  set(objects)
  foreach(src ${ARG_SOURCES} ${runtime})
    get_filename_component(abs ${src} ABSOLUTE)
    get_filename_component(base ${src} NAME_WE)
    set(obj ${objdir}/${base}.obj)
    add_custom_command(OUTPUT ${obj}
      COMMAND ${MSABI_CLANG} ${flags} ${includes} -MD -MF ${obj}.d -c ${abs} -o ${obj}
      DEPENDS ${abs}
      DEPFILE ${obj}.d
      COMMENT "Building ${name}: ${base}.cpp (clang, Microsoft ABI)"
      VERBATIM)
    list(APPEND objects ${obj})
  endforeach()

  tunerhost_version_rc(rc ${name} ${name}.dll "${ARG_DESCRIPTION}")
  set(res ${objdir}/${name}.res)
  # llvm-rc and lld-link read a path such as /ci/... or /usr/... as an option
  # (/c, /d, /u): they are given names relative to the object folder instead.
  file(RELATIVE_PATH rc_rel ${objdir} ${rc})
  add_custom_command(OUTPUT ${res}
    COMMAND ${MSABI_RC} /nologo /fo ${name}.res ${rc_rel}
    DEPENDS ${rc}
    WORKING_DIRECTORY ${objdir}
    COMMENT "Version resource of ${name}.dll (llvm-rc)"
    VERBATIM)

  set(dll ${CMAKE_BINARY_DIR}/bin/${name}.dll)
  set(object_names)
  foreach(obj ${objects})
    get_filename_component(obj_name ${obj} NAME)
    list(APPEND object_names ${obj_name})
  endforeach()
  file(RELATIVE_PATH kernel32_rel ${objdir} ${MSABI_KERNEL32_LIB})
  add_custom_command(OUTPUT ${dll}
    COMMAND ${MSABI_LLD_LINK} /nologo /brepro /dll /nodefaultlib /entry:${entry} /machine:${MSABI_MACHINE}
            /subsystem:windows /out:${dll} /implib:${name}.lib ${object_names} ${name}.res ${kernel32_rel}
    DEPENDS ${objects} ${res} ${MSABI_KERNEL32_LIB}
    WORKING_DIRECTORY ${objdir}
    COMMENT "Linking ${name}.dll (lld-link, Microsoft ABI)"
    VERBATIM)
  add_custom_target(${name} ALL DEPENDS ${dll})
  add_dependencies(${name} msabi_kernel32)
endfunction()
