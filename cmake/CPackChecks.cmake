# Read by cpack before it makes a package. Without dpkg-shlibdeps (dpkg-dev) CPack's DEB generator
# quietly leaves out the library dependencies, and without `file` it cannot tell the programs from
# the other files: a package that installs but whose programs do not start. Both are refused here.
if(CPACK_GENERATOR STREQUAL "DEB")
  foreach(tool dpkg-shlibdeps file)
    find_program(found_${tool} ${tool})
    if(NOT found_${tool})
      message(FATAL_ERROR "cpack -G DEB needs ${tool}: scripts/install-deps --run (or apt-get install dpkg-dev file) installs it")
    endif()
  endforeach()
endif()
