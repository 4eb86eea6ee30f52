# Consumers of the library, each as a user would build one:
#   find_package  installs into a scratch prefix, then builds and runs a
#                 project that finds it with find_package;
#   pkg-config    compiles and links the same program with nothing but
#                 `pkg-config --cflags --libs velmorsmppdemo` from that prefix;
#   subdirectory  builds the library from source with add_subdirectory.
# No consumer may receive the library's warning or sanitizer flags.
function(run)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE out)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "failed (${rc}): ${ARGN}\n${out}")
  endif()
endfunction()

# Fails when text hands a consumer a warning or sanitizer flag.
function(expect_no_private_flags what text)
  if(text MATCHES "(^|[ ;\"])(-W[a-z][^ ;\"]*|-fsanitize[^ ;\"]*)")
    message(FATAL_ERROR "${what} hands consumers ${CMAKE_MATCH_2}")
  endif()
endfunction()

set(main ${SOURCE_DIR}/examples/consumer/main.cpp)
file(REMOVE_RECURSE ${WORK})

if(MODE STREQUAL "find_package")
  run(${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix ${WORK}/prefix)
  file(GLOB_RECURSE exported ${WORK}/prefix/*/VelmorSMPPDemoTargets*.cmake)
  if(NOT exported)
    message(FATAL_ERROR "no exported targets file under ${WORK}/prefix")
  endif()
  foreach(f ${exported})
    file(READ ${f} text)
    expect_no_private_flags(${f} "${text}")
    if(text MATCHES "velmor_options")
      message(FATAL_ERROR "${f} exports velmor_options, the library's own build flags")
    endif()
  endforeach()
  run(${CMAKE_COMMAND} -S ${SOURCE_DIR}/examples/consumer -B ${WORK}/build -DCMAKE_PREFIX_PATH=${WORK}/prefix)
  run(${CMAKE_COMMAND} --build ${WORK}/build)
  run(${WORK}/build/consumer)
  # Installed with the tools: the simulator library must be usable too.
  if(EXISTS ${WORK}/prefix/include/velmorsmpp/smsc/Server.h)
    if(NOT EXISTS ${WORK}/build/smsc_consumer)
      message(FATAL_ERROR "the simulator's headers are installed but VelmorSMPPDemo::smsc is not exported")
    endif()
    run(${WORK}/build/smsc_consumer)
  endif()

elseif(MODE STREQUAL "pkg-config")
  # Installed to a prefix other than the configured one: the .pc file must
  # describe where it is, not where the build meant to install.
  run(${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix ${WORK}/elsewhere)
  file(GLOB_RECURSE pc ${WORK}/elsewhere/*/velmorsmppdemo.pc)
  list(GET pc 0 pc)
  get_filename_component(pcdir ${pc} DIRECTORY)
  set(ENV{PKG_CONFIG_PATH} ${pcdir})
  execute_process(COMMAND ${PKG_CONFIG} --cflags --libs velmorsmppdemo
                  RESULT_VARIABLE rc OUTPUT_VARIABLE flags ERROR_VARIABLE err OUTPUT_STRIP_TRAILING_WHITESPACE)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "pkg-config velmorsmppdemo: ${err}")
  endif()
  expect_no_private_flags("pkg-config velmorsmppdemo" "${flags}")
  if(NOT flags MATCHES "${WORK}/elsewhere")
    message(FATAL_ERROR "pkg-config points outside the install prefix ${WORK}/elsewhere: ${flags}")
  endif()
  separate_arguments(flags UNIX_COMMAND "${flags}")
  file(MAKE_DIRECTORY ${WORK})
  run(${CXX} ${main} ${flags} -o ${WORK}/consumer)
  run(${WORK}/consumer)

elseif(MODE STREQUAL "subdirectory")
  run(${CMAKE_COMMAND} -S ${SOURCE_DIR}/tests/install/subdirectory -B ${WORK}/build
      -DVELMOR_SOURCE_DIR=${SOURCE_DIR} -DCMAKE_BUILD_TYPE=Release)
  run(${CMAKE_COMMAND} --build ${WORK}/build --target consumer -j2)
  run(${WORK}/build/consumer)
  file(READ ${WORK}/build/compile_commands.json commands)
  string(REGEX MATCH "\"command\": \"[^\"]*examples/consumer/main.cpp\"" consumer_command "${commands}")
  if(NOT consumer_command)
    message(FATAL_ERROR "the consumer's compile command is missing from compile_commands.json")
  endif()
  expect_no_private_flags("add_subdirectory" "${consumer_command}")
else()
  message(FATAL_ERROR "MODE must be find_package, pkg-config or subdirectory")
endif()
