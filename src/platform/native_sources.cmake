# The sources of the Qt-free platform core (native.h), for this build and for the MinGW-w64 build
# of the Win32 suite (tests/platform/native/win32). Paths relative to src/platform.
set(ORX_NATIVE_COMMON_SOURCES native.h common_native.cpp)
set(ORX_NATIVE_WIN32_SOURCES win32/text.h win32/files.cpp win32/processes.cpp win32/windows.cpp)
set(ORX_NATIVE_WIN32_LIBS dwmapi winmm gdi32 user32 advapi32)
set(ORX_NATIVE_POSIX_SOURCES posix/files.cpp posix/processes.cpp posix/job.cpp posix/keys.cpp)
