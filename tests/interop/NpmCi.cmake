# Installs the pinned node packages of the interop tests (npm ci, exactly as
# package-lock.json says) unless node_modules already holds that install.
# Run as: cmake -DNPM=<npm> -DDIR=<this folder> -P NpmCi.cmake
set(_lock ${DIR}/package-lock.json)
set(_installed ${DIR}/node_modules/.package-lock.json)
if(EXISTS ${DIR}/node_modules/smpp/package.json AND EXISTS ${_installed}
   AND NOT ${_lock} IS_NEWER_THAN ${_installed})
  return()
endif()
message(STATUS "interop: npm ci in ${DIR}")
execute_process(COMMAND ${NPM} ci --no-audit --no-fund
                WORKING_DIRECTORY ${DIR}
                RESULT_VARIABLE _rc)
if(NOT _rc EQUAL 0)
  message(FATAL_ERROR "interop: npm ci failed (${_rc}); the node SMSC needs the `smpp` package")
endif()
