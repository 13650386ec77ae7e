# The Windows build's test programs from folders whose other programs need what only Linux has here
# (orx-server with Qt Sql, X11, /proc): the pure rules of the pages. Included by
# tests/CMakeLists.txt for WIN32 only.
orx_add_test(NAME test_uilogic SOURCES ui/test_uilogic.cpp LIBS ui_logic Qt6::Test)
