# cmake -P: the module definition of the i686 DLL with the __stdcall
# decoration of every export (Name@N, N the bytes of its arguments), taken
# from the compiled objects. Linked with --kill-at, the DLL exports the
# plain names while its import library carries _Name@N, which is what a C
# client that includes zeva232.h refers to (__imp__Name@N).
#   -DNM=nm -DOBJECTS=a.obj;b.obj -DDEF_IN=api/zeva232.def -DDEF_OUT=out.def
set(symbols "")
foreach(object IN LISTS OBJECTS)
  execute_process(COMMAND ${NM} -g --defined-only ${object} OUTPUT_VARIABLE out RESULT_VARIABLE rc)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "${NM} failed on ${object}")
  endif()
  string(APPEND symbols "${out}")
endforeach()
file(STRINGS ${DEF_IN} lines)
set(text "; Generated from api/zeva232.def for i686: the exports with their __stdcall\n")
string(APPEND text "; decoration, which the linker's --kill-at drops from the exported names.\n")
set(in_exports FALSE)
foreach(line IN LISTS lines)
  string(STRIP "${line}" name)
  if(name STREQUAL "EXPORTS")
    set(in_exports TRUE)
    string(APPEND text "LIBRARY zeva232\nEXPORTS\n")
  elseif(in_exports AND name AND NOT name MATCHES "^;")
    string(REGEX MATCH " T _${name}@([0-9]+)\n" found "${symbols}")
    if(NOT found)
      message(FATAL_ERROR "no __stdcall definition of ${name} in the objects")
    endif()
    string(APPEND text "    ${name}@${CMAKE_MATCH_1}\n")
  endif()
endforeach()
file(WRITE ${DEF_OUT}.tmp "${text}")
file(COPY_FILE ${DEF_OUT}.tmp ${DEF_OUT} ONLY_IF_DIFFERENT)
file(REMOVE ${DEF_OUT}.tmp)
