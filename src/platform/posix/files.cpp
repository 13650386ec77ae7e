// Files on POSIX: atomic replace, shared read, replacing rename, range copy, error texts, write
// times, the walk of a folder tree.

#include "platform/native.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <memory>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace platform::native {

namespace {

bool writeAll(int fd, std::string_view bytes)
{
    const char *p = bytes.data();
    size_t left = bytes.size();
    while (left > 0) {
        const ssize_t n = ::write(fd, p, left);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        if (n == 0)
            return false;
        p += n;
        left -= size_t(n);
    }
    return true;
}

// Errors a later try may not see again; anything else ends the tries at once.
bool transient(int err)
{
    return err == EBUSY || err == ETXTBSY || err == EACCES || err == EPERM || err == EAGAIN || err == EINTR;
}

void syncFolderOf(const Path &path)
{
    const Path parent = path.parent_path();
    const std::string dir = parent.empty() ? std::string(".") : parent.native();
    const int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0) {
        ::fsync(fd);
        ::close(fd);
    }
}

} // namespace

bool writeFileAtomically(const Path &path, std::string_view bytes, std::string *error, int budgetMs)
{
    Path tmp = path;
    tmp += ".tmp";

    const int fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) {
        if (error)
            *error = "cannot create " + tmp.native() + " (error " + std::to_string(errno) + ")";
        return false;
    }
    bool ok = writeAll(fd, bytes);
    ok = (::fsync(fd) == 0) && ok;
    ok = (::close(fd) == 0) && ok;
    if (!ok) {
        ::unlink(tmp.c_str());
        if (error)
            *error = "cannot write " + tmp.native();
        return false;
    }

    const auto start = std::chrono::steady_clock::now();
    int lastError = 0;
    for (;;) {
        if (::rename(tmp.c_str(), path.c_str()) == 0) {
            syncFolderOf(path);
            return true;
        }
        lastError = errno;
        if (!transient(lastError) ||
            std::chrono::steady_clock::now() - start > std::chrono::milliseconds(budgetMs))
            break;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    ::unlink(tmp.c_str());
    if (error)
        *error = "cannot replace " + path.native() + " (error " + std::to_string(lastError) + ")";
    return false;
}

std::string readFileShared(const Path &path, bool *opened)
{
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (opened)
        *opened = fd >= 0;
    if (fd < 0)
        return {};
    std::string out;
    char piece[4096];
    while (out.size() <= 1048575) {
        const ssize_t n = ::read(fd, piece, sizeof piece);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        out.append(piece, size_t(n));
    }
    ::close(fd);
    return out;
}

bool renameReplacing(const Path &from, const Path &to, int *systemError)
{
    if (::rename(from.c_str(), to.c_str()) == 0) {
        syncFolderOf(to);
        return true;
    }
    if (systemError)
        *systemError = errno;
    return false;
}

namespace {

constexpr std::int64_t bufferSize = 1024 * 1024; // see rangecopy.h

// The kernel copies at most this much per call (it stops short of 2 GiB anyway).
constexpr std::int64_t maxSystemCopy = std::int64_t(1) << 30;

// copy_file_range: the kernel moves the bytes, and file systems that can share blocks (btrfs, XFS)
// do so instead of copying. False when the rest must go through the buffer: the system declined
// (another file system, a pipe or device as target, no such call: EXDEV, EINVAL, EOPNOTSUPP,
// ENOSYS), or it failed some other way, which the buffered copy then meets and names with its side.
bool copyBySystem(int in, std::int64_t sourceOffset, int out, std::int64_t length, RangeCopyOutcome &result)
{
    loff_t from = sourceOffset;
    while (result.copied < length) {
        const size_t want = size_t(std::min(length - result.copied, maxSystemCopy));
        const ssize_t n = ::copy_file_range(in, &from, out, nullptr, want, 0);
        if (n > 0) {
            result.copied += n;
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n == 0) {
            // The end of the source, unless a file system reports 0 for "cannot" (some did).
            struct stat st {};
            return ::fstat(in, &st) == 0 && st.st_size <= from;
        }
        return false;
    }
    return true;
}

void copyThroughBuffer(int in, std::int64_t sourceOffset, int out, std::int64_t length,
                       RangeCopyOutcome &result)
{
    result.buffered = true;
    const std::int64_t size = std::min(length - result.copied, bufferSize);
    const std::unique_ptr<char[]> buffer(new char[size_t(std::max<std::int64_t>(size, 1))]);
    while (result.copied < length) {
        const size_t want = size_t(std::min(length - result.copied, size));
        const ssize_t got = ::pread(in, buffer.get(), want, off_t(sourceOffset + result.copied));
        if (got < 0) {
            if (errno == EINTR)
                continue;
            result.fault = CopyFault::Read;
            result.systemError = errno;
            return;
        }
        if (got == 0)
            return; // the source ended
        const char *p = buffer.get();
        ssize_t left = got;
        while (left > 0) {
            const ssize_t put = ::write(out, p, size_t(left));
            if (put < 0 && errno == EINTR)
                continue;
            if (put <= 0) {
                result.fault = CopyFault::Write;
                result.systemError = put < 0 ? errno : ENOSPC;
                return;
            }
            p += put;
            left -= put;
            result.copied += put;
        }
    }
}

} // namespace

RangeCopyOutcome copyRange(FileHandle in, std::int64_t inOffset, FileHandle out, std::int64_t length,
                           bool forceBuffered)
{
    RangeCopyOutcome result;
    if (length <= 0 || (!forceBuffered && copyBySystem(in, inOffset, out, length, result)))
        return result;
    copyThroughBuffer(in, inOffset, out, length, result);
    return result;
}

std::string systemErrorText(int code)
{
    char buffer[256];
    const char *text = ::strerror_r(code, buffer, sizeof buffer); // the GNU form: returns the text
    return text ? std::string(text) : std::string();
}

bool fileWriteTime(const Path &path, std::uint64_t *fileTime, std::int64_t *size)
{
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0)
        return false;
    if (size)
        *size = std::int64_t(st.st_size);
    if (fileTime)
        *fileTime = fileTimeFromUnix(std::int64_t(st.st_mtim.tv_sec), std::int64_t(st.st_mtim.tv_nsec));
    return true;
}

namespace {

// Lists the open folder `fd` (taken over) below `relative`; one buffer for every path of the walk.
bool walkFolder(int fd, std::string &relative, const WalkVisit &visit)
{
    DIR *dir = ::fdopendir(fd);
    if (!dir) {
        ::close(fd);
        return true; // a folder that cannot be listed is left out, as one that vanished
    }
    bool go = true;
    while (go) {
        errno = 0;
        const dirent *e = ::readdir(dir);
        if (!e)
            break;
        const char *name = e->d_name;
        if (name[0] == '.' && (name[1] == 0 || (name[1] == '.' && name[2] == 0)))
            continue;
        struct stat st {};
        if (::fstatat(::dirfd(dir), name, &st, AT_SYMLINK_NOFOLLOW) != 0)
            continue;
        // A link to a file counts as that file; a link to a folder is not entered.
        if (S_ISLNK(st.st_mode) && (::fstatat(::dirfd(dir), name, &st, 0) != 0 || !S_ISREG(st.st_mode)))
            continue;
        const size_t at = relative.size();
        if (at > 0)
            relative += '/';
        relative += name;
        if (S_ISDIR(st.st_mode)) {
            const int sub = ::openat(::dirfd(dir), name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
            if (sub >= 0)
                go = walkFolder(sub, relative, visit);
        } else if (S_ISREG(st.st_mode)) {
            go = visit(relative, std::int64_t(st.st_size),
                       fileTimeFromUnix(std::int64_t(st.st_mtim.tv_sec), std::int64_t(st.st_mtim.tv_nsec)));
        }
        relative.resize(at);
    }
    ::closedir(dir);
    return go;
}

} // namespace

bool walkFiles(const Path &root, const WalkVisit &visit)
{
    const int fd = ::open(root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return false;
    std::string relative;
    relative.reserve(512);
    return walkFolder(fd, relative, visit);
}

} // namespace platform::native
