# The Windows build's test programs from folders whose other programs need what only Linux has here
# (orx-server with Qt Sql, X11, /proc): the pure rules of the pages and the menu bridge against the
# stand-in game and a scripted server. Included by tests/CMakeLists.txt for WIN32 only.
orx_add_test(NAME test_uilogic SOURCES ui/test_uilogic.cpp LIBS ui_logic Qt6::Test)
orx_add_test(NAME test_bridge
    SOURCES bridge/test_bridge_main.cpp bridge/tst_bridge.h bridge/bridgerig.h bridge/uischema.h
            bridge/tst_bridgerules.cpp bridge/tst_bridgefiles.cpp bridge/tst_bridgegolden.cpp
            bridge/tst_bridgerequests.cpp net/scriptedpeer.h net/scriptedpeer.cpp
    LIBS bridge Qt6::Network
    TIMEOUT 600)
target_include_directories(test_bridge PRIVATE ${CMAKE_CURRENT_SOURCE_DIR}/net ${CMAKE_CURRENT_SOURCE_DIR}/server)
add_dependencies(test_bridge orx-testgame)
