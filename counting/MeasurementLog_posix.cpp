#include "MeasurementLog.h"

#include "ErrorText.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace counting {

namespace {

AppendResult Failed(const char *call, int error)
{
    return {false, std::string(call) + ": " + common::ErrorText(error)};
}

} // namespace

AppendResult AppendDurably(const std::string &path, const std::string &text)
{
    // O_APPEND puts every write at the end even when another program appends
    // at the same time; O_NOCTTY because the name could be a link to a tty.
    // O_NONBLOCK because the end must never wait on the log: a FIFO without
    // a reader fails the open with ENXIO instead of waiting for one, and a
    // pipe whose reader does not read fails the write with EAGAIN once its
    // buffer is full.  A line is shorter than PIPE_BUF, so a pipe takes it
    // whole or not at all.  Regular files ignore the flag.
    const int fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOCTTY | O_NONBLOCK, 0666);
    if (fd < 0)
        return Failed("open", errno);
    struct stat before = {};
    const bool regular = ::fstat(fd, &before) == 0 && S_ISREG(before.st_mode);
    const ssize_t written = ::write(fd, text.data(), text.size());
    if (written != static_cast<ssize_t>(text.size())) {
        const int error = written < 0 ? errno : ENOSPC;
        // A disk that fills up in mid-line takes part of it: cut it off again.
        if (written > 0 && regular)
            (void)::ftruncate(fd, before.st_size);
        ::close(fd);
        return Failed("write", error);
    }
    // EINVAL means the file (a device, a pipe) has nothing to flush.
    if (::fsync(fd) != 0 && errno != EINVAL) {
        const int error = errno;
        ::close(fd);
        return Failed("fsync", error);
    }
    // Network file systems may report a failed write only here.
    if (::close(fd) != 0 && errno != EINTR)
        return Failed("close", errno);
    return {true, {}};
}

} // namespace counting
