// KX2UniqueFd: sole owner of one POSIX file descriptor.
//
// The descriptor is closed when the owner is destroyed, reset or assigned
// another owner's descriptor; release() hands it back to the caller, who
// then closes it. -1 means "no descriptor". Movable, not copyable, so
// exactly one owner closes each descriptor.
//
// Closing keeps errno as it was: the usual pattern is "open, fail a later
// step, return false and let the caller report errno", and the close on the
// way out must not replace the error being reported. A failing close() is
// not reported; on Linux the descriptor is gone either way and retrying it
// could close a descriptor another thread has been given meanwhile.
//
// Threads: an owner is a plain value; one thread at a time uses it.

#ifndef KX2UNIQUEFD_H
#define KX2UNIQUEFD_H

#include <cerrno>

#include <unistd.h>

class KX2UniqueFd
{
public:
    KX2UniqueFd() = default;
    // Takes ownership of `fd`; a negative value owns nothing.
    explicit KX2UniqueFd(int fd) : fd(fd) {}
    ~KX2UniqueFd() { reset(); }

    KX2UniqueFd(KX2UniqueFd&& other) noexcept : fd(other.release()) {}
    KX2UniqueFd& operator=(KX2UniqueFd&& other) noexcept
    {
        if (this != &other)
            reset(other.release());
        return *this;
    }
    KX2UniqueFd(const KX2UniqueFd&) = delete;
    KX2UniqueFd& operator=(const KX2UniqueFd&) = delete;

    // The descriptor, still owned; -1 when there is none.
    int get() const { return fd; }
    bool isValid() const { return fd >= 0; }

    // Gives up ownership without closing; the caller closes the result.
    int release()
    {
        const int owned = fd;
        fd = -1;
        return owned;
    }

    // Closes the owned descriptor (unless it is `other` itself) and owns
    // `other` instead.
    void reset(int other = -1)
    {
        if (fd >= 0 && fd != other) {
            const int savedErrno = errno;
            ::close(fd);
            errno = savedErrno;
        }
        fd = other;
    }

private:
    int fd = -1;
};

#endif // KX2UNIQUEFD_H
