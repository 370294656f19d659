# Builds and registers tsan_znscan: the whole service (antivirus, application
# object and framework sources) compiled with ThreadSanitizer around one
# scanning test, so a missing or misplaced lock between the walk, the
# workers, the quarantine keeper, a stop, an engine reload and a settings
# save fails the run. TSan cannot be linked together with the
# AddressSanitizer flags of the rest of the build, so the binary is compiled
# here in one compiler call, with moc and rcc run by hand. The sources and
# the headers that need moc are found at configure time, so new files of
# the service are picked up by re-running CMake.
get_target_property(ZN_TSAN_MOC Qt5::moc IMPORTED_LOCATION)
get_target_property(ZN_TSAN_RCC Qt5::rcc IMPORTED_LOCATION)
set(ZN_TSAN_SCAN_DIR ${CMAKE_CURRENT_BINARY_DIR}/tsan_znscan)
set(ZN_TSAN_SCAN_TEST ${CMAKE_CURRENT_LIST_DIR}/tsan_znscan.cpp)
set(ZN_TSAN_SCAN_BINARY ${CMAKE_BINARY_DIR}/bin/tsan_znscan)

file(GLOB ZN_TSAN_SCAN_SOURCES CONFIGURE_DEPENDS
    ${PROJECT_SOURCE_DIR}/antivirus/*.cpp
    ${PROJECT_SOURCE_DIR}/framework/rpc/*.cpp
    ${PROJECT_SOURCE_DIR}/framework/storage/*.cpp
    ${PROJECT_SOURCE_DIR}/framework/utils/*.cpp)
list(APPEND ZN_TSAN_SCAN_SOURCES
    ${PROJECT_SOURCE_DIR}/app/appdata.cpp
    ${PROJECT_SOURCE_DIR}/app/kx2core.cpp
    ${PROJECT_SOURCE_DIR}/app/scantempdir.cpp)
file(GLOB ZN_TSAN_SCAN_HEADERS CONFIGURE_DEPENDS
    ${PROJECT_SOURCE_DIR}/antivirus/*.h
    ${PROJECT_SOURCE_DIR}/app/*.h
    ${PROJECT_SOURCE_DIR}/framework/rpc/*.h
    ${PROJECT_SOURCE_DIR}/framework/storage/*.h
    ${PROJECT_SOURCE_DIR}/framework/utils/*.h
    ${CMAKE_CURRENT_LIST_DIR}/*.h)

set(ZN_TSAN_SCAN_MOCS)
foreach(header ${ZN_TSAN_SCAN_HEADERS})
    file(STRINGS ${header} qobject REGEX "Q_OBJECT")
    if(qobject)
        get_filename_component(base ${header} NAME_WE)
        set(moc ${ZN_TSAN_SCAN_DIR}/moc_${base}.cpp)
        add_custom_command(
            OUTPUT ${moc}
            COMMAND ${CMAKE_COMMAND} -E make_directory ${ZN_TSAN_SCAN_DIR}
            COMMAND ${ZN_TSAN_MOC} ${header} -o ${moc}
            DEPENDS ${header}
            VERBATIM)
        list(APPEND ZN_TSAN_SCAN_MOCS ${moc})
    endif()
endforeach()

add_custom_command(
    OUTPUT ${ZN_TSAN_SCAN_DIR}/tsan_znscan.moc
    COMMAND ${CMAKE_COMMAND} -E make_directory ${ZN_TSAN_SCAN_DIR}
    COMMAND ${ZN_TSAN_MOC} ${ZN_TSAN_SCAN_TEST} -o ${ZN_TSAN_SCAN_DIR}/tsan_znscan.moc
    DEPENDS ${ZN_TSAN_SCAN_TEST}
    VERBATIM)
add_custom_command(
    OUTPUT ${ZN_TSAN_SCAN_DIR}/qrc_znantivirus.cpp
    COMMAND ${CMAKE_COMMAND} -E make_directory ${ZN_TSAN_SCAN_DIR}
    COMMAND ${ZN_TSAN_RCC} -name znantivirus ${PROJECT_SOURCE_DIR}/antivirus/znantivirus.qrc
            -o ${ZN_TSAN_SCAN_DIR}/qrc_znantivirus.cpp
    DEPENDS ${PROJECT_SOURCE_DIR}/antivirus/znantivirus.qrc
            ${PROJECT_SOURCE_DIR}/antivirus/creator.sql
            ${PROJECT_SOURCE_DIR}/antivirus/engine.sql
    VERBATIM)

add_custom_command(
    OUTPUT ${ZN_TSAN_SCAN_BINARY}
    COMMAND ${CMAKE_CXX_COMPILER} -std=c++17 -fPIC -fsanitize=thread -O1 -g -w
            -I${ZN_TSAN_SCAN_DIR}
            -I${CMAKE_CURRENT_LIST_DIR}
            -I${PROJECT_SOURCE_DIR}/antivirus
            -I${PROJECT_SOURCE_DIR}/app
            -I${PROJECT_SOURCE_DIR}/framework/rpc
            -I${PROJECT_SOURCE_DIR}/framework/storage
            -I${PROJECT_SOURCE_DIR}/framework/utils
            "-I$<JOIN:$<TARGET_PROPERTY:Qt5::Core,INTERFACE_INCLUDE_DIRECTORIES>,;-I>"
            "-I$<JOIN:$<TARGET_PROPERTY:Qt5::Network,INTERFACE_INCLUDE_DIRECTORIES>,;-I>"
            "-I$<JOIN:$<TARGET_PROPERTY:Qt5::Test,INTERFACE_INCLUDE_DIRECTORIES>,;-I>"
            ${CLAMAV_CFLAGS} ${SQLITE3_CFLAGS} ${CURL_CFLAGS}
            ${ZN_TSAN_SCAN_TEST} ${ZN_TSAN_SCAN_SOURCES} ${ZN_TSAN_SCAN_MOCS}
            ${ZN_TSAN_SCAN_DIR}/qrc_znantivirus.cpp
            $<TARGET_FILE:Qt5::Test> $<TARGET_FILE:Qt5::Network> $<TARGET_FILE:Qt5::Core>
            ${CLAMAV_LINK_LIBRARIES} ${SQLITE3_LINK_LIBRARIES} ${CURL_LINK_LIBRARIES} -pthread
            -o ${ZN_TSAN_SCAN_BINARY}
    DEPENDS ${ZN_TSAN_SCAN_TEST} ${ZN_TSAN_SCAN_SOURCES} ${ZN_TSAN_SCAN_HEADERS} ${ZN_TSAN_SCAN_MOCS}
            ${ZN_TSAN_SCAN_DIR}/tsan_znscan.moc ${ZN_TSAN_SCAN_DIR}/qrc_znantivirus.cpp
    COMMENT "Building tsan_znscan with ThreadSanitizer"
    COMMAND_EXPAND_LISTS
    VERBATIM)
add_custom_target(tsan_znscan ALL DEPENDS ${ZN_TSAN_SCAN_BINARY})

# Any ThreadSanitizer report ends the run with exit code 66 and fails the
# test. Qt's libraries are not instrumented: the reference counts of shared
# strings and byte arrays are dropped inside them, invisibly, and the memory
# freed there would be reported against this code's (instrumented) copies of
# the same strings. ignore_noninstrumented_modules keeps the allocator calls
# made from inside Qt out of the reports; every access made by the service's
# own code is still checked. The suppressions cover only Qt's internals.
add_test(NAME tsan_znscan COMMAND ${ZN_TSAN_LAUNCHER} ${ZN_TSAN_SCAN_BINARY})
set_tests_properties(tsan_znscan PROPERTIES
    TIMEOUT 300
    ENVIRONMENT "QT_QPA_PLATFORM=offscreen;TSAN_OPTIONS=halt_on_error=1:exitcode=66:ignore_noninstrumented_modules=1:suppressions=${CMAKE_CURRENT_LIST_DIR}/tsan_znscan.supp")
