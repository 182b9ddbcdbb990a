# Shared build settings: warnings, sanitizers and source collection.

if(VEXA_SANITIZE)
    add_compile_options(-fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=all)
    add_link_options(-fsanitize=address,undefined)
endif()
if(VEXA_TSAN)
    add_compile_options(-fsanitize=thread -fno-omit-frame-pointer)
    add_link_options(-fsanitize=thread)
endif()

function(vexa_warnings target)
    target_compile_options(${target} PRIVATE -Wall -Wextra -Wpedantic)
    if(VEXA_WERROR)
        target_compile_options(${target} PRIVATE -Werror)
    endif()
endfunction()

# vexa_unity(target): compile the target's sources in batches when VEXA_UNITY is on.
function(vexa_unity target)
    if(VEXA_UNITY)
        set_target_properties(${target} PROPERTIES UNITY_BUILD ON UNITY_BUILD_BATCH_SIZE 12)
    endif()
endfunction()

# vexa_collect_sources(OUT dir...): the .cpp files directly inside each folder.
function(vexa_collect_sources out)
    set(all)
    foreach(dir IN LISTS ARGN)
        file(GLOB srcs CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/${dir}/*.cpp)
        list(APPEND all ${srcs})
    endforeach()
    set(${out} ${all} PARENT_SCOPE)
endfunction()
