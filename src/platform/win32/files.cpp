// Files on Win32: atomic replace, shared read, replacing rename, range copy, error texts, write
// times, the walk of a folder tree.

#include "platform/native.h"
#include "platform/win32/text.h"

#include <algorithm>
#include <chrono>
#include <memory>

namespace platform::native {

using win32::pathText;
using win32::utf8;

bool writeFileAtomically(const Path &path, std::string_view bytes, std::string *error, int budgetMs)
{
    Path tmp = path;
    tmp += L".tmp";

    HANDLE h =
        CreateFileW(tmp.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        if (error)
            *error = "cannot create " + pathText(tmp) + " (error " + std::to_string(GetLastError()) + ")";
        return false;
    }
    bool ok = true;
    const char *p = bytes.data();
    size_t left = bytes.size();
    while (ok && left > 0) {
        const DWORD chunk = DWORD(std::min<size_t>(left, size_t(1) << 30));
        DWORD written = 0;
        ok = WriteFile(h, p, chunk, &written, nullptr) && written == chunk;
        p += written;
        left -= written;
    }
    ok = FlushFileBuffers(h) && ok;
    CloseHandle(h);
    if (!ok) {
        DeleteFileW(tmp.c_str());
        if (error)
            *error = "cannot write " + pathText(tmp);
        return false;
    }

    const auto start = std::chrono::steady_clock::now();
    DWORD lastError = 0;
    for (;;) {
        if (MoveFileExW(tmp.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
            return true;
        lastError = GetLastError();
        // A reader holding the target without delete sharing: wait for it within the budget.
        const auto spent = std::chrono::steady_clock::now() - start;
        if ((lastError != ERROR_ACCESS_DENIED && lastError != ERROR_SHARING_VIOLATION) ||
            spent > std::chrono::milliseconds(budgetMs))
            break;
        Sleep(5);
    }
    DeleteFileW(tmp.c_str());
    if (error)
        *error = "cannot replace " + pathText(path) + " (error " + std::to_string(lastError) + ")";
    return false;
}

std::string readFileShared(const Path &path, bool *opened)
{
    HANDLE h = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                           nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (opened)
        *opened = h != INVALID_HANDLE_VALUE;
    if (h == INVALID_HANDLE_VALUE)
        return {};
    std::string out;
    char piece[4096];
    while (out.size() <= 1048575) {
        DWORD got = 0;
        if (!ReadFile(h, piece, sizeof piece, &got, nullptr) || got == 0)
            break;
        out.append(piece, got);
    }
    CloseHandle(h);
    return out;
}

bool renameReplacing(const Path &from, const Path &to, int *systemError)
{
    if (MoveFileExW(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
        return true;
    if (systemError)
        *systemError = int(GetLastError());
    return false;
}

// Windows has no general file-to-file copy of a byte range (block cloning works on ReFS alone), so
// the bytes go through one buffer: positioned reads of the source, writes at the target's position.
RangeCopyOutcome copyRange(FileHandle in, std::int64_t inOffset, FileHandle out, std::int64_t length,
                           bool forceBuffered)
{
    (void)forceBuffered;
    RangeCopyOutcome result;
    result.buffered = true;
    if (length <= 0)
        return result;
    constexpr std::int64_t bufferSize = 1024 * 1024; // as the POSIX buffered copy
    const std::int64_t size = std::min(length, bufferSize);
    const std::unique_ptr<char[]> buffer(new char[size_t(size)]);
    while (result.copied < length) {
        const std::int64_t at = inOffset + result.copied;
        OVERLAPPED where{};
        where.Offset = DWORD(std::uint64_t(at) & 0xFFFFFFFFu);
        where.OffsetHigh = DWORD(std::uint64_t(at) >> 32);
        const DWORD want = DWORD(std::min(length - result.copied, size));
        DWORD got = 0;
        if (!ReadFile(HANDLE(in), buffer.get(), want, &got, &where)) {
            const DWORD code = GetLastError();
            if (code == ERROR_HANDLE_EOF)
                return result; // the source ended
            result.fault = CopyFault::Read;
            result.systemError = int(code);
            return result;
        }
        if (got == 0)
            return result;
        DWORD done = 0;
        while (done < got) {
            DWORD put = 0;
            const BOOL ok = WriteFile(HANDLE(out), buffer.get() + done, got - done, &put, nullptr);
            if (!ok || put == 0) {
                result.fault = CopyFault::Write;
                result.systemError = int(ok ? ERROR_DISK_FULL : GetLastError());
                return result;
            }
            done += put;
            result.copied += put;
        }
    }
    return result;
}

std::string systemErrorText(int code)
{
    wchar_t *text = nullptr;
    const DWORD n = FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                                       FORMAT_MESSAGE_IGNORE_INSERTS,
                                   nullptr, DWORD(code), 0, reinterpret_cast<wchar_t *>(&text), 0, nullptr);
    std::wstring out = n > 0 && text ? std::wstring(text, n) : std::wstring();
    if (text)
        LocalFree(text);
    while (!out.empty() && (out.back() == L'\n' || out.back() == L'\r' || out.back() == L' '))
        out.pop_back();
    return utf8(out);
}

bool fileWriteTime(const Path &path, std::uint64_t *fileTime, std::int64_t *size)
{
    WIN32_FILE_ATTRIBUTE_DATA data{};
    if (!GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data))
        return false;
    if (fileTime)
        *fileTime =
            (std::uint64_t(data.ftLastWriteTime.dwHighDateTime) << 32) | data.ftLastWriteTime.dwLowDateTime;
    if (size)
        *size = std::int64_t((std::uint64_t(data.nFileSizeHigh) << 32) | data.nFileSizeLow);
    return true;
}

namespace {

// Lists the folder `folder` (a wide path without a trailing separator) below `relative` (UTF-8).
// One buffer of each kind for every path of the walk.
bool walkFolder(std::wstring &folder, std::string &relative, const WalkVisit &visit)
{
    const size_t folderAt = folder.size();
    folder += L"\\*";
    WIN32_FIND_DATAW data{};
    HANDLE find = FindFirstFileExW(folder.c_str(), FindExInfoBasic, &data, FindExSearchNameMatch, nullptr,
                                   FIND_FIRST_EX_LARGE_FETCH);
    folder.resize(folderAt);
    if (find == INVALID_HANDLE_VALUE)
        return true; // a folder that cannot be listed is left out, as one that vanished
    bool go = true;
    do {
        const wchar_t *name = data.cFileName;
        if (name[0] == L'.' && (name[1] == 0 || (name[1] == L'.' && name[2] == 0)))
            continue;
        const bool isFolder = (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
        // A link or junction to a folder is not entered.
        if (isFolder && (data.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0)
            continue;
        const size_t at = relative.size();
        if (at > 0)
            relative += '/';
        const int wlen = int(wcslen(name));
        const int n = WideCharToMultiByte(CP_UTF8, 0, name, wlen, nullptr, 0, nullptr, nullptr);
        if (n > 0) {
            const size_t base = relative.size();
            relative.resize(base + size_t(n));
            WideCharToMultiByte(CP_UTF8, 0, name, wlen, relative.data() + base, n, nullptr, nullptr);
            if (isFolder) {
                folder += L'\\';
                folder += name;
                go = walkFolder(folder, relative, visit);
                folder.resize(folderAt);
            } else {
                go = visit(relative,
                           std::int64_t((std::uint64_t(data.nFileSizeHigh) << 32) | data.nFileSizeLow),
                           (std::uint64_t(data.ftLastWriteTime.dwHighDateTime) << 32) |
                               data.ftLastWriteTime.dwLowDateTime);
            }
        }
        relative.resize(at);
    } while (go && FindNextFileW(find, &data));
    FindClose(find);
    return go;
}

} // namespace

bool walkFiles(const Path &root, const WalkVisit &visit)
{
    std::wstring folder = root.native();
    while (!folder.empty() && (folder.back() == L'\\' || folder.back() == L'/'))
        folder.pop_back();
    const DWORD attributes = GetFileAttributesW(folder.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0)
        return false;
    std::string relative;
    relative.reserve(512);
    return walkFolder(folder, relative, visit);
}

} // namespace platform::native
