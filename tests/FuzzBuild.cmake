# Configures and builds the fuzz targets of tests/fuzz in a build of their
# own, with clang, libFuzzer, AddressSanitizer and UndefinedBehaviorSanitizer
# and warnings as errors. One build directory, kept between runs: later runs
# rebuild only what changed.
#
# Expects SOURCE_DIR, BUILD_DIR, C_COMPILER, CXX_COMPILER and GENERATOR.
if(NOT C_COMPILER OR NOT CXX_COMPILER)
  message(FATAL_ERROR "the fuzz build needs clang and clang++ (scripts/packages.txt)")
endif()
execute_process(
  COMMAND ${CMAKE_COMMAND} -S ${SOURCE_DIR} -B ${BUILD_DIR} -G ${GENERATOR}
          -DMORLUND_FUZZ=ON -DMORLUND_WERROR=ON
          -DCMAKE_C_COMPILER=${C_COMPILER} -DCMAKE_CXX_COMPILER=${CXX_COMPILER}
  RESULT_VARIABLE configured)
if(NOT configured EQUAL 0)
  message(FATAL_ERROR "configuring the fuzz build failed")
endif()
execute_process(
  COMMAND ${CMAKE_COMMAND} --build ${BUILD_DIR} -j2
  RESULT_VARIABLE built)
if(NOT built EQUAL 0)
  message(FATAL_ERROR "the fuzz build failed")
endif()
