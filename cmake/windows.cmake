# The Windows module built with mingw-w64 (cross from Linux with
# cmake/mingw-w64-x86_64.cmake, or natively in MSYS2).
#
# Headers: the host Python's, in a copy of their own whose pyconfig.h is
# cmake/windows/pyconfig.h (Python.h includes "pyconfig.h" from its own
# folder first, so an include path in front would not win).
find_package(Python3 3.7 REQUIRED COMPONENTS Interpreter)
set(VELMORA_PYTHON_HEADERS "" CACHE PATH
    "Python headers to build against (default: those of the Python found)")
if(NOT VELMORA_PYTHON_HEADERS)
  execute_process(
    COMMAND ${Python3_EXECUTABLE} -c "import sysconfig; print(sysconfig.get_paths()['include'])"
    OUTPUT_VARIABLE VELMORA_PYTHON_HEADERS OUTPUT_STRIP_TRAILING_WHITESPACE)
endif()
if(NOT EXISTS "${VELMORA_PYTHON_HEADERS}/Python.h")
  message(FATAL_ERROR "No Python.h in '${VELMORA_PYTHON_HEADERS}': install python3-dev "
                      "or set VELMORA_PYTHON_HEADERS")
endif()
set(VELMORA_WINDOWS_HEADERS ${CMAKE_BINARY_DIR}/python-headers)
file(REMOVE_RECURSE ${VELMORA_WINDOWS_HEADERS})
file(COPY ${VELMORA_PYTHON_HEADERS}/ DESTINATION ${VELMORA_WINDOWS_HEADERS}
     PATTERN pyconfig.h EXCLUDE)
configure_file(${CMAKE_CURRENT_LIST_DIR}/windows/pyconfig.h ${VELMORA_WINDOWS_HEADERS}/pyconfig.h
               COPYONLY)
set(Python3_INCLUDE_DIRS ${VELMORA_WINDOWS_HEADERS})

if(NOT VELMORA_DLLTOOL)
  find_program(VELMORA_DLLTOOL NAMES dlltool REQUIRED)
endif()

# velmora_link_python3_dll(<module> <objects>): links the module to an
# import library of python3.dll made from the names its objects import,
# and the GCC, C++ and thread runtimes statically, so the .pyd needs no DLL
# beyond python3.dll and Windows' own.
function(velmora_link_python3_dll module objects)
  set(def ${CMAKE_BINARY_DIR}/python3.def)
  set(lib ${CMAKE_BINARY_DIR}/libpython3.dll.a)
  add_custom_command(
    OUTPUT ${def} ${lib}
    COMMAND ${CMAKE_COMMAND} -DNM=${CMAKE_NM} -DDLLTOOL=${VELMORA_DLLTOOL} -DDEF=${def}
            -DLIB=${lib} "-DOBJECTS=$<JOIN:$<TARGET_OBJECTS:${objects}>,|>"
            -P ${CMAKE_SOURCE_DIR}/cmake/python3_import_lib.cmake
    DEPENDS ${objects} $<TARGET_OBJECTS:${objects}> ${CMAKE_SOURCE_DIR}/cmake/python3_import_lib.cmake
    COMMENT "Making the import library of python3.dll from the module's imports"
    VERBATIM)
  add_custom_target(${module}_python3_lib DEPENDS ${lib})
  add_dependencies(${module} ${module}_python3_lib)
  target_link_libraries(${module} PRIVATE ${lib})
  target_link_options(${module} PRIVATE -static -static-libgcc -static-libstdc++)
  # No link time in the PE header: the same sources make the same bytes.
  target_link_options(${module} PRIVATE -Wl,--no-insert-timestamp)
endfunction()
