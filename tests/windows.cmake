# The Windows build's test programs from folders whose other programs need what only Linux has here
# (orx-server with Qt Sql, X11, /proc): the pure rules of the pages and of the menu bridge.
# Included by tests/CMakeLists.txt for WIN32 only.
orx_add_test(NAME test_uilogic SOURCES ui/test_uilogic.cpp LIBS ui_logic Qt6::Test)
orx_add_test(NAME test_bridge
    SOURCES bridge/test_bridge_main.cpp bridge/tst_bridge.h bridge/bridgerig.h bridge/uischema.h
            bridge/tst_bridgerules.cpp bridge/tst_bridgefiles.cpp bridge/tst_bridgegolden.cpp
            bridge/tst_bridgerequests.cpp net/scriptedpeer.h net/scriptedpeer.cpp
    LIBS bridge Qt6::Network)
target_include_directories(test_bridge PRIVATE ${CMAKE_CURRENT_SOURCE_DIR}/net ${CMAKE_CURRENT_SOURCE_DIR}/server)
set_target_properties(test_bridge PROPERTIES EXCLUDE_FROM_ALL OFF)
orx_add_test_run(NAME test_bridge_rules PROGRAM test_bridge ENV ORX_TEST_CLASS=TestBridgeRules)
