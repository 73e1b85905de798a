# The core libraries (text/, pipeline/, prompt/) never see the Python host:
# they get no Python or pybind11 include paths, and a Python.h that stops the
# build is found before any other. Unit tests, fuzzers and benchmarks link
# them without an interpreter.
function(brivane_python_free target)
  target_include_directories(${target} BEFORE PRIVATE ${PROJECT_SOURCE_DIR}/cmake/python_free)
  get_target_property(linked ${target} LINK_LIBRARIES)
  foreach(lib IN LISTS linked)
    if(lib MATCHES "Python|pybind11")
      message(FATAL_ERROR "${target} is Python-free but links ${lib}")
    endif()
  endforeach()
endfunction()
