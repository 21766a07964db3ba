# The rooms of pipeline/ lean one way: a file may include its own room and
# the rooms before it in this list, never one after it. Run with
# cmake -DSOURCE=<source dir> -P roomorder.cmake; fails naming each include
# that runs back up.
set(rooms core frames run movie)
set(wrong "")
foreach(room IN LISTS rooms)
    list(FIND rooms ${room} rank)
    file(GLOB files ${SOURCE}/pipeline/${room}/*)
    foreach(file IN LISTS files)
        file(STRINGS ${file} includes REGEX "^#include \"pipeline/")
        foreach(line IN LISTS includes)
            string(REGEX REPLACE "^#include \"pipeline/([a-z]+)/.*" "\\1" other "${line}")
            list(FIND rooms ${other} otherRank)
            if(otherRank LESS 0 OR otherRank GREATER rank)
                string(APPEND wrong "\n  ${file}: ${line}")
            endif()
        endforeach()
    endforeach()
endforeach()
if(wrong)
    message(FATAL_ERROR "includes that run back up a room:${wrong}")
endif()
