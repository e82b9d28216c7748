# GCC 12 at -O3 (Release) reports a false -Wrestrict on `"literal" + std::string&&` (GCC bug
# 105651, fixed in 12.4 and 13). quintel_gcc12_no_restrict(<source>...) turns that one warning
# off for the named sources only, and only with the affected compilers.
function(quintel_gcc12_no_restrict)
  if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU" AND CMAKE_CXX_COMPILER_VERSION VERSION_GREATER_EQUAL 12
     AND CMAKE_CXX_COMPILER_VERSION VERSION_LESS 12.4)
    set_property(SOURCE ${ARGN} APPEND PROPERTY COMPILE_OPTIONS -Wno-restrict)
  endif()
endfunction()
