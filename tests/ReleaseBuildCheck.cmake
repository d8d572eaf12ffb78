# Configures and builds the whole tree as a user building for production
# would (Release), with warnings as errors, so that a warning that only the
# optimiser raises is caught here rather than by the user. One build
# directory, kept between runs: later runs rebuild only what changed.
#
# Expects SOURCE_DIR, BUILD_DIR, C_COMPILER, CXX_COMPILER and GENERATOR.
execute_process(
  COMMAND ${CMAKE_COMMAND} -S ${SOURCE_DIR} -B ${BUILD_DIR} -G ${GENERATOR}
          -DCMAKE_BUILD_TYPE=Release -DMORLUND_WERROR=ON -DMORLUND_SANITIZE=OFF
          -DCMAKE_C_COMPILER=${C_COMPILER} -DCMAKE_CXX_COMPILER=${CXX_COMPILER}
  RESULT_VARIABLE configured)
if(NOT configured EQUAL 0)
  message(FATAL_ERROR "configuring the Release build failed")
endif()
execute_process(
  COMMAND ${CMAKE_COMMAND} --build ${BUILD_DIR} -j2
  RESULT_VARIABLE built)
if(NOT built EQUAL 0)
  message(FATAL_ERROR "the Release build failed")
endif()
