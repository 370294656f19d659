# Builds and registers the journal, router and local server suites
# a second time under ThreadSanitizer (tsan_kx2journals, tsan_kx2todorouter,
# tsan_kx2localserver), so that a missing or misplaced lock around the
# child-router list, the environment's stores or the state the reactor
# threads hand each other fails the run instead of passing by luck. TSan cannot be linked together
# with the AddressSanitizer flags of the rest of the build, so each suite is
# compiled here in one compiler call, with moc run by hand.
get_target_property(ZN_TSAN_MOC Qt5::moc IMPORTED_LOCATION)
set(ZN_TSAN_RPC_DIR ${CMAKE_CURRENT_BINARY_DIR}/tsan_rpc)
set(ZN_TSAN_RPC_SOURCES
    ${PROJECT_SOURCE_DIR}/framework/rpc/kx2journals.cpp
    ${PROJECT_SOURCE_DIR}/framework/rpc/kx2cabinet.cpp
    ${PROJECT_SOURCE_DIR}/framework/rpc/kx2todorouter.cpp
    ${PROJECT_SOURCE_DIR}/framework/utils/kx2values.cpp)
set(ZN_TSAN_RPC_HEADERS
    ${PROJECT_SOURCE_DIR}/framework/rpc/kx2journals.h
    ${PROJECT_SOURCE_DIR}/framework/rpc/kx2cabinet.h
    ${PROJECT_SOURCE_DIR}/framework/rpc/kx2todorouter.h
    ${PROJECT_SOURCE_DIR}/framework/utils/kx2values.h)

# The local server suite also needs the wire layer.
set(ZN_TSAN_WIRE_SOURCES
    ${PROJECT_SOURCE_DIR}/framework/rpc/kx2rpcpacket.cpp
    ${PROJECT_SOURCE_DIR}/framework/rpc/kx2compactjson.cpp
    ${PROJECT_SOURCE_DIR}/framework/rpc/kx2localserver.cpp
    ${PROJECT_SOURCE_DIR}/framework/rpc/kx2localclient.cpp
    ${PROJECT_SOURCE_DIR}/framework/rpc/kx2localsocket.cpp
    ${PROJECT_SOURCE_DIR}/framework/rpc/kx2peer.cpp
    ${PROJECT_SOURCE_DIR}/framework/rpc/kx2localserver_p.cpp
    ${PROJECT_SOURCE_DIR}/framework/rpc/kx2socketfile.cpp
    ${PROJECT_SOURCE_DIR}/framework/rpc/kx2framebudget.cpp
    ${PROJECT_SOURCE_DIR}/framework/utils/kx2escape.cpp
    ${PROJECT_SOURCE_DIR}/framework/utils/kx2trace.cpp
    ${PROJECT_SOURCE_DIR}/framework/utils/kx2tracelevel.cpp
    ${PROJECT_SOURCE_DIR}/framework/utils/kx2threadgroup.cpp
    ${ZN_TSAN_RPC_DIR}/moc_kx2localserver.cpp
    ${ZN_TSAN_RPC_DIR}/moc_kx2localsocket.cpp)
foreach(header kx2localserver kx2localsocket)
    add_custom_command(
        OUTPUT ${ZN_TSAN_RPC_DIR}/moc_${header}.cpp
        COMMAND ${CMAKE_COMMAND} -E make_directory ${ZN_TSAN_RPC_DIR}
        COMMAND ${ZN_TSAN_MOC} ${PROJECT_SOURCE_DIR}/framework/rpc/${header}.h
                -o ${ZN_TSAN_RPC_DIR}/moc_${header}.cpp
        DEPENDS ${PROJECT_SOURCE_DIR}/framework/rpc/${header}.h
        VERBATIM)
endforeach()
file(GLOB ZN_TSAN_WIRE_HEADERS ${PROJECT_SOURCE_DIR}/framework/rpc/*.h
    ${PROJECT_SOURCE_DIR}/framework/utils/*.h)

add_custom_command(
    OUTPUT ${ZN_TSAN_RPC_DIR}/moc_kx2todorouter.cpp
    COMMAND ${CMAKE_COMMAND} -E make_directory ${ZN_TSAN_RPC_DIR}
    COMMAND ${ZN_TSAN_MOC} ${PROJECT_SOURCE_DIR}/framework/rpc/kx2todorouter.h
            -o ${ZN_TSAN_RPC_DIR}/moc_kx2todorouter.cpp
    DEPENDS ${PROJECT_SOURCE_DIR}/framework/rpc/kx2todorouter.h
    VERBATIM)

# Extra arguments: further sources and the libraries they need.
function(zn_add_tsan_rpc_suite suite)
    set(source ${CMAKE_CURRENT_LIST_DIR}/tst_${suite}.cpp)
    set(binary ${CMAKE_BINARY_DIR}/bin/tsan_${suite})
    add_custom_command(
        OUTPUT ${ZN_TSAN_RPC_DIR}/tst_${suite}.moc
        COMMAND ${CMAKE_COMMAND} -E make_directory ${ZN_TSAN_RPC_DIR}
        COMMAND ${ZN_TSAN_MOC} ${source} -o ${ZN_TSAN_RPC_DIR}/tst_${suite}.moc
        DEPENDS ${source}
        VERBATIM)
    add_custom_command(
        OUTPUT ${binary}
        COMMAND ${CMAKE_CXX_COMPILER} -std=c++17 -fPIC -fsanitize=thread -O1 -g
                -Wall -Wextra
                -I${ZN_TSAN_RPC_DIR}
                -I${PROJECT_SOURCE_DIR}/framework/rpc
                -I${PROJECT_SOURCE_DIR}/framework/utils
                "-I$<JOIN:$<TARGET_PROPERTY:Qt5::Core,INTERFACE_INCLUDE_DIRECTORIES>,;-I>"
                "-I$<JOIN:$<TARGET_PROPERTY:Qt5::Test,INTERFACE_INCLUDE_DIRECTORIES>,;-I>"
                "-I$<JOIN:$<TARGET_PROPERTY:Qt5::Network,INTERFACE_INCLUDE_DIRECTORIES>,;-I>"
                ${source} ${ZN_TSAN_RPC_SOURCES} ${ZN_TSAN_RPC_DIR}/moc_kx2todorouter.cpp
                ${ARGN}
                $<TARGET_FILE:Qt5::Test> $<TARGET_FILE:Qt5::Network> $<TARGET_FILE:Qt5::Core> -pthread
                -o ${binary}
        DEPENDS ${source} ${ZN_TSAN_RPC_SOURCES} ${ZN_TSAN_RPC_HEADERS} ${ARGN} ${ZN_TSAN_WIRE_HEADERS}
                ${ZN_TSAN_RPC_DIR}/tst_${suite}.moc ${ZN_TSAN_RPC_DIR}/moc_kx2todorouter.cpp
        COMMENT "Building tsan_${suite} with ThreadSanitizer"
        COMMAND_EXPAND_LISTS
        VERBATIM)
    add_custom_target(tsan_${suite} ALL DEPENDS ${binary})
    # Any ThreadSanitizer report ends the run with exit code 66 and fails
    # the test. Qt's own threads (the test watchdog) are not instrumented
    # and are suppressed.
    add_test(NAME tsan_${suite} COMMAND ${ZN_TSAN_LAUNCHER} ${binary})
    set_tests_properties(tsan_${suite} PROPERTIES
        TIMEOUT 300
        ENVIRONMENT "QT_QPA_PLATFORM=offscreen;TSAN_OPTIONS=halt_on_error=1:exitcode=66:suppressions=${CMAKE_CURRENT_LIST_DIR}/tsan_qt.supp")
endfunction()

zn_add_tsan_rpc_suite(kx2journals)
zn_add_tsan_rpc_suite(kx2todorouter)
zn_add_tsan_rpc_suite(kx2localserver ${ZN_TSAN_WIRE_SOURCES})
