# Warnings and sanitizers for our own targets. Third-party headers come in as SYSTEM includes
# (pkg-config imported targets), so -Werror only ever fires on our code.

set(TALLOWMARCH_SANITIZE "" CACHE STRING "Sanitizers: empty, 'address' (ASan + UBSan) or 'thread'")

add_library(tm_project_options INTERFACE)
target_compile_options(tm_project_options INTERFACE -Wall -Wextra -Werror)
target_compile_definitions(tm_project_options INTERFACE
  TALLOWMARCH_SOURCE_DIR="${PROJECT_SOURCE_DIR}"
  TALLOWMARCH_BINARY_DIR="${PROJECT_BINARY_DIR}")

if(TALLOWMARCH_SANITIZE STREQUAL "address")
  add_compile_options(-fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=undefined)
  add_link_options(-fsanitize=address,undefined)
elseif(TALLOWMARCH_SANITIZE STREQUAL "thread")
  add_compile_options(-fsanitize=thread -fno-omit-frame-pointer)
  add_link_options(-fsanitize=thread)
elseif(NOT TALLOWMARCH_SANITIZE STREQUAL "")
  message(FATAL_ERROR "Unknown TALLOWMARCH_SANITIZE value '${TALLOWMARCH_SANITIZE}'")
endif()

# tm_target_defaults(<target>): warnings and hidden symbols for one of our targets.
function(tm_target_defaults target)
  target_link_libraries(${target} PRIVATE tm_project_options)
  set_target_properties(${target} PROPERTIES CXX_VISIBILITY_PRESET hidden VISIBILITY_INLINES_HIDDEN ON)
endfunction()
