# One set of warnings for every target of ours; third-party headers come in as
# system includes through their imported targets, so they stay quiet.
function(threshcam_warnings target)
    target_compile_options(${target} PRIVATE
        -Wall -Wextra -Wpedantic -Wshadow -Wcast-qual -Wimplicit-fallthrough -Wmissing-declarations
        $<$<COMPILE_LANGUAGE:CXX>:-Wnon-virtual-dtor -Woverloaded-virtual>)
    if(THRESHCAM_WERROR)
        target_compile_options(${target} PRIVATE -Werror)
    endif()
endfunction()
