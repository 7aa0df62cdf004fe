# Build helpers shared by every directory.

# Warnings for our own targets; errors only when TAVRO_WERROR is on (CI).
function(tavro_warnings target)
  set(cxx_flags -Wall -Wextra)
  if(TAVRO_WERROR)
    list(APPEND cxx_flags -Werror)
  endif()
  target_compile_options(${target} PRIVATE $<$<COMPILE_LANGUAGE:CXX>:${cxx_flags}>)
  if(TAVRO_CUDA)
    set(cuda_flags -Xcompiler=-Wall,-Wextra)
    if(TAVRO_WERROR)
      list(APPEND cuda_flags -Werror=all-warnings)
    endif()
    target_compile_options(${target} PRIVATE $<$<COMPILE_LANGUAGE:CUDA>:${cuda_flags}>)
  endif()
endfunction()

# .cu files are the single source of every kernel: nvcc compiles them in the CUDA
# build, g++ compiles them as C++ against the CPU device runtime otherwise.
function(tavro_kernel_sources)
  foreach(src IN LISTS ARGN)
    get_filename_component(ext ${src} LAST_EXT)
    if(ext STREQUAL ".cu" AND NOT TAVRO_CUDA)
      set_source_files_properties(${src} DIRECTORY ${CMAKE_CURRENT_SOURCE_DIR} PROPERTIES LANGUAGE CXX)
      # On the CPU a kernel phase is a loop over a run-time thread count, which
      # -O2's cost model never vectorises; kernels are the product's hot code.
      if(NOT TAVRO_SANITIZE AND NOT CMAKE_BUILD_TYPE STREQUAL "Debug")
        set_source_files_properties(${src} DIRECTORY ${CMAKE_CURRENT_SOURCE_DIR} PROPERTIES COMPILE_OPTIONS "-O3")
      endif()
    endif()
  endforeach()
endfunction()

# tavro_add_library(name SOURCES ... [LIBS ...] [PUBLIC_INCLUDE dir])
function(tavro_add_library name)
  cmake_parse_arguments(ARG "" "" "SOURCES;LIBS" ${ARGN})
  tavro_kernel_sources(${ARG_SOURCES})
  add_library(${name} STATIC ${ARG_SOURCES})
  target_link_libraries(${name} PUBLIC ${ARG_LIBS})
  tavro_warnings(${name})
  if(TAVRO_CUDA)
    set_target_properties(${name} PROPERTIES CUDA_SEPARABLE_COMPILATION OFF)
  endif()
endfunction()

# tavro_add_test(name SOURCES ... [LIBS ...] [LABELS ...])
# One GoogleTest executable; every test case becomes a ctest test.
function(tavro_add_test name)
  cmake_parse_arguments(ARG "" "" "SOURCES;LIBS;LABELS" ${ARGN})
  tavro_kernel_sources(${ARG_SOURCES})
  add_executable(${name} ${ARG_SOURCES})
  target_link_libraries(${name} PRIVATE ${ARG_LIBS} GTest::gtest GTest::gtest_main GTest::gmock)
  tavro_warnings(${name})
  if(NOT ARG_LABELS)
    set(ARG_LABELS unit)
  endif()
  gtest_discover_tests(${name}
    DISCOVERY_TIMEOUT 60
    PROPERTIES LABELS "${ARG_LABELS}"
               ENVIRONMENT "QT_QPA_PLATFORM=offscreen")
endfunction()
