# Builds and registers tsan_lfqueue: the lock-free queue's stress test under
# ThreadSanitizer. TSan cannot be linked together with the AddressSanitizer
# flags of the rest of the build, so this one plain C++ program is compiled
# on its own, without Qt and without the project-wide compile options.
set(ZN_TSAN_LFQUEUE ${CMAKE_BINARY_DIR}/bin/tsan_lfqueue)
add_custom_command(
    OUTPUT ${ZN_TSAN_LFQUEUE}
    COMMAND ${CMAKE_CXX_COMPILER} -std=c++17 -fsanitize=thread -O1 -g -Wall -Wextra
            -I${PROJECT_SOURCE_DIR}/framework/storage
            ${CMAKE_CURRENT_LIST_DIR}/tsan_lfqueue.cpp
            -o ${ZN_TSAN_LFQUEUE} -pthread
    DEPENDS ${CMAKE_CURRENT_LIST_DIR}/tsan_lfqueue.cpp
            ${PROJECT_SOURCE_DIR}/framework/storage/kx2lfqueue.h
    COMMENT "Building tsan_lfqueue with ThreadSanitizer"
    VERBATIM)
add_custom_target(tsan_lfqueue ALL DEPENDS ${ZN_TSAN_LFQUEUE})

# Any ThreadSanitizer report ends the run with exit code 66 and fails the test.
add_test(NAME tsan_lfqueue COMMAND ${ZN_TSAN_LAUNCHER} ${ZN_TSAN_LFQUEUE})
set_tests_properties(tsan_lfqueue PROPERTIES
    TIMEOUT 120
    ENVIRONMENT "TSAN_OPTIONS=halt_on_error=1:exitcode=66")
