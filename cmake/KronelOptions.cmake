# Warnings, sanitizers and the helper that turns a folder into a library.

add_library(kronel_warnings INTERFACE)
target_compile_options(kronel_warnings INTERFACE -Wall -Wextra -Werror -Wformat=2)

if(KRONEL_SANITIZE)
  add_compile_options(-fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=all)
  add_link_options(-fsanitize=address,undefined)
endif()

if(KRONEL_FUZZ)
  add_compile_options(-fsanitize=fuzzer-no-link,address,undefined -fno-omit-frame-pointer)
  add_link_options(-fsanitize=address,undefined)
endif()

# kronel_folder_library(NAME DIR DEPS...): a static library from every .cpp in DIR
# (not recursive), with DIR/include or DIR as the public include root.
function(kronel_folder_library name dir)
  file(GLOB sources CONFIGURE_DEPENDS ${dir}/*.cpp)
  add_library(${name} STATIC ${sources})
  target_link_libraries(${name} PUBLIC ${ARGN} PRIVATE kronel_warnings)
  target_include_directories(${name} PUBLIC ${CMAKE_SOURCE_DIR})
endfunction()
