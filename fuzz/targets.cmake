# The fuzz targets, shared by fuzz/CMakeLists.txt (libFuzzer builds, clang)
# and tests/fuzz_replay (corpus replay in the ordinary suite, any compiler).
#
# velmor_fuzz_targets(<out>) sets <out> to the names whose libraries exist in
# this configuration; for each name N, VELMOR_FUZZ_N_LIBS holds what it links
# and its source is fuzz/N.cpp.
set(VELMOR_FUZZ_DIR ${CMAKE_CURRENT_LIST_DIR})

function(velmor_fuzz_targets out)
  set(all
    "fuzz_receive|VelmorSMPPDemo_LIB"
    "fuzz_tlv|velmor_tlv"
    "fuzz_hex|velmor_codec"
    "fuzz_data_sm_roundtrip|velmor_tlv"
    "fuzz_smsc_session|velmor_smsc_core"
    "fuzz_receipt|velmor_sms"
    "fuzz_session_machine|velmor_session")
  set(names "")
  foreach(entry ${all})
    string(REPLACE "|" ";" parts "${entry}")
    list(GET parts 0 name)
    list(GET parts 1 lib)
    if(TARGET ${lib})
      list(APPEND names ${name})
      set(VELMOR_FUZZ_${name}_LIBS ${lib} PARENT_SCOPE)
    else()
      message(STATUS "fuzz: ${name} skipped (${lib} is not part of this build)")
    endif()
  endforeach()
  set(${out} ${names} PARENT_SCOPE)
endfunction()

# Sources, include paths and libraries of one target, added to an executable
# that brings its own main (libFuzzer's, or replay_main.cpp).
function(velmor_fuzz_setup exe name)
  target_sources(${exe} PRIVATE ${VELMOR_FUZZ_DIR}/${name}.cpp)
  # fuzz_receive uses the test suite's event recorder.
  target_include_directories(${exe} PRIVATE ${VELMOR_FUZZ_DIR} ${PROJECT_SOURCE_DIR}/tests)
  target_link_libraries(${exe} PRIVATE ${VELMOR_FUZZ_${name}_LIBS})
endfunction()
