#pragma once
// What the cases of the platform contract suite share. The suite checks the contracts on the Qt-free
// core: built natively against the POSIX core and with MinGW-w64 against the Win32 core, which runs
// under Wine here. A case the system has no notion of, or that Wine does not implement faithfully,
// skips with the reason.

#include "platform/native.h"
#include "runner.h"
#include "support.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <thread>

#ifdef _WIN32
#include "platform/win32/text.h"
#ifndef ERROR_THREAD_MODE_ALREADY_BACKGROUND
#define ERROR_THREAD_MODE_ALREADY_BACKGROUND 400
#define ERROR_THREAD_MODE_NOT_BACKGROUND 401
#endif
#else
#include <csignal>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>
#endif

namespace native = platform::native;
using native::Path;
using support::TempDir;

namespace suite {

inline bool present(const Path &path)
{
    std::error_code ignored;
    return std::filesystem::exists(path, ignored);
}

inline Path withTmp(const Path &path)
{
    Path tmp = path;
    tmp += ".tmp";
    return tmp;
}

// A path as the error texts give it.
inline std::string text(const Path &path)
{
#ifdef _WIN32
    return native::win32::pathText(path);
#else
    return path.native();
#endif
}

#ifdef _WIN32
// Opens a file the way another program might hold it.
inline HANDLE holdOpen(const Path &path, DWORD access, DWORD share)
{
    return CreateFileW(path.c_str(), access, share, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
}
constexpr int fileNotFound = ERROR_FILE_NOT_FOUND;
constexpr int pathNotFound = ERROR_PATH_NOT_FOUND;
#else
constexpr int fileNotFound = ENOENT;
constexpr int pathNotFound = ENOENT;
#endif

} // namespace suite

using namespace suite;
