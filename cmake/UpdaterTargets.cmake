# Build helpers shared by every folder.
#
# Each folder builds its units as OBJECT libraries with updater_unit(); the
# unit joins one of the four layer targets, so that a test can link just the
# units it exercises while the tool links whole layers:
#   vorlixane      core library     (devlib/common)
#   vorlixane_cpp  object layer     (devlib/cpp)
#   updater_app    application lib  (store, server, recovery, updater, app)
# Layers depend one way: updater_app -> vorlixane_cpp -> vorlixane.

set(UPDATER_INCLUDE_DIRS
    ${PROJECT_SOURCE_DIR}
    ${PROJECT_SOURCE_DIR}/devlib/common
    ${PROJECT_SOURCE_DIR}/devlib/cpp)

set(UPDATER_LAYERS vorlixane vorlixane_cpp updater_app)

# Called once, after every folder has declared its units. A layer with no units yet is an
# interface target, so that dependents can name it all the same.
function(updater_define_layers)
  set(below "")
  foreach(layer IN LISTS UPDATER_LAYERS)
    get_property(units GLOBAL PROPERTY UPDATER_UNITS_${layer})
    if(units)
      add_library(${layer} STATIC)
      target_include_directories(${layer} PUBLIC ${UPDATER_INCLUDE_DIRS})
      target_link_libraries(${layer} PUBLIC ${units} ${below})
    else()
      add_library(${layer} INTERFACE)
      target_include_directories(${layer} INTERFACE ${UPDATER_INCLUDE_DIRS})
      target_link_libraries(${layer} INTERFACE ${below})
    endif()
    set(below ${layer})
  endforeach()
endfunction()

# updater_unit(<name> LAYER <layer> SOURCES <src>... [DEPS <target>...])
function(updater_unit name)
  cmake_parse_arguments(U "" "LAYER" "SOURCES;DEPS" ${ARGN})
  if(NOT U_LAYER)
    message(FATAL_ERROR "updater_unit(${name}): LAYER is required")
  endif()
  add_library(${name} OBJECT ${U_SOURCES})
  target_include_directories(${name} PUBLIC ${UPDATER_INCLUDE_DIRS})
  target_link_libraries(${name} PUBLIC ${U_DEPS} Threads::Threads)
  if(NOT U_LAYER IN_LIST UPDATER_LAYERS)
    message(FATAL_ERROR "updater_unit(${name}): unknown layer ${U_LAYER}")
  endif()
  set_property(GLOBAL APPEND PROPERTY UPDATER_UNITS_${U_LAYER} ${name})
endfunction()

# updater_add_test(<name> SOURCES <src>... [LIBS <target>...] [LABELS <l>...]
#                  [WRAPPER <cmd>...] [TIMEOUT <s>])
# Without WRAPPER every GoogleTest case becomes its own CTest test.
# With WRAPPER the whole binary runs as one test under that command (used for
# the private network namespace and for umockdev).
function(updater_add_test name)
  cmake_parse_arguments(T "" "TIMEOUT" "SOURCES;LIBS;LABELS;WRAPPER" ${ARGN})
  if(NOT T_TIMEOUT)
    set(T_TIMEOUT 120)
  endif()
  add_executable(${name} ${T_SOURCES})
  target_include_directories(${name} PRIVATE ${UPDATER_INCLUDE_DIRS} ${PROJECT_SOURCE_DIR}/tests)
  target_link_libraries(${name} PRIVATE ${T_LIBS} GTest::gtest GTest::gmock GTest::gtest_main Threads::Threads)
  set(labels unit ${T_LABELS})
  if(T_WRAPPER)
    add_test(NAME ${name} COMMAND ${T_WRAPPER} $<TARGET_FILE:${name}>)
    set_tests_properties(${name} PROPERTIES LABELS "${labels}" TIMEOUT ${T_TIMEOUT})
  else()
    gtest_discover_tests(${name}
      DISCOVERY_MODE PRE_TEST
      PROPERTIES TIMEOUT ${T_TIMEOUT})
    # The discovery script cannot carry a list-valued property, so the labels are set by a
    # second script that CTest runs after it, over the tests it discovered.
    set(label_script "${CMAKE_CURRENT_BINARY_DIR}/${name}_labels.cmake")
    file(WRITE "${label_script}"
      "foreach(t IN LISTS ${name}_TESTS)\n"
      "  set_tests_properties(\"\${t}\" PROPERTIES LABELS \"${labels}\")\n"
      "endforeach()\n")
    set_property(DIRECTORY APPEND PROPERTY TEST_INCLUDE_FILES "${label_script}")
  endif()
endfunction()

# updater_add_fuzzer(<name> SOURCES <src>... [LIBS <target>...] [RUNS <n>])
# A libFuzzer target; CTest of the fuzz build runs it for RUNS inputs (a smoke run
# that keeps it building and passing), `make fuzz-long` runs it for longer.
if(UPDATER_FUZZ)
  add_custom_target(fuzzers)
  enable_testing()
endif()
function(updater_add_fuzzer name)
  cmake_parse_arguments(F "" "RUNS" "SOURCES;LIBS" ${ARGN})
  if(NOT F_RUNS)
    set(F_RUNS 20000)
  endif()
  add_executable(${name} ${F_SOURCES})
  target_include_directories(${name} PRIVATE ${UPDATER_INCLUDE_DIRS})
  target_link_libraries(${name} PRIVATE ${F_LIBS} Threads::Threads)
  target_link_options(${name} PRIVATE -fsanitize=fuzzer)
  add_dependencies(fuzzers ${name})
  add_test(NAME ${name} COMMAND ${name} -runs=${F_RUNS} -seed=1 -max_len=4096)
  set_tests_properties(${name} PROPERTIES LABELS fuzz TIMEOUT 300)
endfunction()

# Folders grow by files, not by edits to one shared list: every <module>.cmake beside the
# calling CMakeLists.txt is included (in name order), and every subfolder that has a
# CMakeLists.txt is added. Macros, so that the included files share the caller's scope.
macro(updater_include_modules)
  file(GLOB _updater_modules CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*.cmake)
  list(SORT _updater_modules)
  foreach(_updater_module IN LISTS _updater_modules)
    include(${_updater_module})
  endforeach()
endmacro()

macro(updater_add_subdirectories)
  file(GLOB _updater_children LIST_DIRECTORIES true CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*)
  list(SORT _updater_children)
  foreach(_updater_child IN LISTS _updater_children)
    if(IS_DIRECTORY ${_updater_child} AND EXISTS ${_updater_child}/CMakeLists.txt)
      add_subdirectory(${_updater_child})
    endif()
  endforeach()
endmacro()
