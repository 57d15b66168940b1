# Makes the import library of python3.dll from the module's own imports:
# every __imp_<name> the objects refer to becomes an export of python3.dll
# in a .def file, and dlltool turns that into the library the linker takes.
# Only names the module really uses are listed, so a name outside the
# stable ABI shows up in the .pyd's imports where the checks can see it,
# instead of being hidden behind a full python3.lib.
#   cmake -DNM=... -DDLLTOOL=... -DDEF=... -DLIB=... "-DOBJECTS=a.obj|b.obj" -P this file
foreach(var NM DLLTOOL DEF LIB OBJECTS)
  if(NOT DEFINED ${var})
    message(FATAL_ERROR "python3_import_lib.cmake: ${var} is not set")
  endif()
endforeach()

set(names "")
string(REPLACE "|" ";" OBJECTS "${OBJECTS}")
foreach(object IN LISTS OBJECTS)
  execute_process(COMMAND ${NM} --undefined-only --format=posix ${object}
                  OUTPUT_VARIABLE undefined RESULT_VARIABLE status)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "${NM} failed on ${object}")
  endif()
  string(REGEX MATCHALL "__imp_[A-Za-z_][A-Za-z0-9_]*" imports "${undefined}")
  foreach(import IN LISTS imports)
    string(REGEX REPLACE "^__imp_" "" name "${import}")
    # The interpreter's names all begin with Py or _Py; other imports
    # (kernel32's, the C runtime's) come from their own import libraries.
    if(name MATCHES "^_?Py")
      list(APPEND names ${name})
    endif()
  endforeach()
endforeach()
list(REMOVE_DUPLICATES names)
list(SORT names)

# Objects (types, exception classes, the singletons) are DATA: they are
# reached through the import address table only, never called.
set(text "LIBRARY python3.dll\nEXPORTS\n")
foreach(name IN LISTS names)
  if(name MATCHES "_Type$|^PyExc_|^_Py_[A-Za-z]*Struct$")
    string(APPEND text "    ${name} DATA\n")
  else()
    string(APPEND text "    ${name}\n")
  endif()
endforeach()
file(WRITE ${DEF} "${text}")
execute_process(COMMAND ${DLLTOOL} --input-def ${DEF} --output-lib ${LIB} --dllname python3.dll
                RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "${DLLTOOL} could not make ${LIB}")
endif()
