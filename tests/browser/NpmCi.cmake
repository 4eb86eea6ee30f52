# Installs the pinned node packages (npm ci, exactly as package-lock.json
# says) unless node_modules already holds that install.
# Run as: cmake -DNPM=<npm> -DDIR=<folder> -DPACKAGE=<a package it installs> -P NpmCi.cmake
set(_lock ${DIR}/package-lock.json)
set(_installed ${DIR}/node_modules/.package-lock.json)
if(EXISTS ${DIR}/node_modules/${PACKAGE}/package.json AND EXISTS ${_installed}
   AND NOT ${_lock} IS_NEWER_THAN ${_installed})
  return()
endif()
message(STATUS "npm ci in ${DIR}")
execute_process(COMMAND ${NPM} ci --no-audit --no-fund WORKING_DIRECTORY ${DIR} RESULT_VARIABLE _rc)
if(NOT _rc EQUAL 0)
  message(FATAL_ERROR "npm ci in ${DIR} failed (${_rc})")
endif()
