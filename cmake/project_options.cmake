# Warnings and sanitizers for our own targets. Third-party headers come in as SYSTEM includes
# (pkg-config imported targets), so -Werror only ever fires on our code.

set(TALLOWMARCH_SANITIZE "" CACHE STRING "Sanitizers: empty, 'address' (ASan + UBSan) or 'thread'")

add_library(tm_project_options INTERFACE)
target_compile_options(tm_project_options INTERFACE -Wall -Wextra -Werror)
target_compile_definitions(tm_project_options INTERFACE
  TALLOWMARCH_SOURCE_DIR="${PROJECT_SOURCE_DIR}"
  TALLOWMARCH_BINARY_DIR="${PROJECT_BINARY_DIR}")

# TALLOWMARCH_SANITIZER_FLAGS: also what a host needs to load the instrumented library.
if(TALLOWMARCH_SANITIZE STREQUAL "address")
  set(TALLOWMARCH_SANITIZER_FLAGS -fsanitize=address,undefined -fno-sanitize-recover=undefined)
elseif(TALLOWMARCH_SANITIZE STREQUAL "thread")
  set(TALLOWMARCH_SANITIZER_FLAGS -fsanitize=thread)
elseif(NOT TALLOWMARCH_SANITIZE STREQUAL "")
  message(FATAL_ERROR "Unknown TALLOWMARCH_SANITIZE value '${TALLOWMARCH_SANITIZE}'")
endif()
if(TALLOWMARCH_SANITIZER_FLAGS)
  add_compile_options(${TALLOWMARCH_SANITIZER_FLAGS} -fno-omit-frame-pointer)
  add_link_options(${TALLOWMARCH_SANITIZER_FLAGS})
endif()

# tm_target_defaults(<target>): warnings and hidden symbols for one of our targets.
function(tm_target_defaults target)
  target_link_libraries(${target} PRIVATE tm_project_options)
  set_target_properties(${target} PROPERTIES CXX_VISIBILITY_PRESET hidden VISIBILITY_INLINES_HIDDEN ON)
endfunction()
