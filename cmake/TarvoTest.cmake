# tarvo_add_gtest(<target> SOURCES ... LIBS ... [LOCK name] [TIMEOUT s])
# One gtest program; each case becomes a ctest test run under Wine.
# LOCK names shared machine state (registry keys, services, the simulated
# driver and modem) so that ctest never runs two tests that touch it at once;
# "machine" is the lock of everything in the prefix's HKLM and SCM.
function(tarvo_add_gtest target)
  cmake_parse_arguments(T "" "TIMEOUT;LOCK" "SOURCES;LIBS" ${ARGN})
  if(NOT T_TIMEOUT)
    set(T_TIMEOUT 120)
  endif()
  add_executable(${target} ${T_SOURCES})
  target_link_libraries(${target} PRIVATE ${T_LIBS} gmock gtest_main)
  set(props TIMEOUT ${T_TIMEOUT})
  if(T_LOCK)
    list(APPEND props RESOURCE_LOCK ${T_LOCK})
  endif()
  gtest_discover_tests(${target}
    DISCOVERY_MODE PRE_TEST
    DISCOVERY_TIMEOUT 60
    PROPERTIES ${props})
endfunction()
