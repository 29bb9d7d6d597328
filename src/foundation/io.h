// Blocking transfers of whole buffers over descriptors, waits with a
// deadline, and error texts.
//
// Every transfer retries after EINTR and after short counts until all bytes
// have moved, the input ends, an error occurs or an optional deadline passes.
// Nothing here throws; all functions are safe to call from many threads at
// once (on different descriptors, or with the caller serialising access).
//
// On failure a function returns false, puts a text in err and leaves the
// cause in errno: the system's error number, ETIMEDOUT when the deadline
// passed, EIO when a write accepted no byte at all.
#pragma once

#include <chrono>
#include <cstddef>
#include <string>
#include <string_view>

#include "foundation/qdstring.h"

// A point on the monotonic clock by which a transfer must be done, or none.
class TDeadline {
public:
    using Clock = std::chrono::steady_clock;

    // No deadline: the transfer waits as long as the descriptor blocks.
    TDeadline() = default;
    static TDeadline Never() { return TDeadline(); }
    static TDeadline At(Clock::time_point when) { return TDeadline(when); }
    // ms milliseconds from now (below 0 counts as 0).
    static TDeadline AfterMs(long long ms);

    bool IsSet() const { return set_; }
    bool Passed() const { return set_ && Clock::now() >= when_; }
    // The time left for poll(): -1 without a deadline, else 0 or more.
    int PollMs() const;

private:
    explicit TDeadline(Clock::time_point when) : when_(when), set_(true) {}
    Clock::time_point when_{};
    bool set_ = false;
};

// The system's text for an error number (strerror_r; never empty).
String ErrnoText(int e);

// Waits until fd is ready for events (POLLIN, POLLOUT; an error or hang-up
// counts as ready, for the next transfer to report) or the deadline passes;
// interrupted waits resume with the time left. false with ETIMEDOUT when the
// deadline passed, EBADF for an invalid descriptor. Works for descriptors of
// any number (poll, not select).
bool WaitReady(int fd, short events, const TDeadline& deadline, String& err);

// Without a deadline a descriptor is expected to block: EAGAIN (from a
// non-blocking descriptor, or a time-out set with SO_SNDTIMEO/SO_RCVTIMEO)
// ends the transfer as an error. With a deadline, poll() waits within it
// before every transfer, for blocking and non-blocking descriptors alike.

// Writes all of data to fd with write(). With a deadline each write() moves
// at most PIPE_BUF bytes, so that a blocking pipe cannot block once poll()
// has reported room (as long as no other writer shares it).
bool WriteAll(int fd, std::string_view data, String& err);
bool WriteAll(int fd, std::string_view data, const TDeadline& deadline, String& err);

// As WriteAll for a socket: send() with MSG_NOSIGNAL, so a peer that went
// away gives EPIPE instead of SIGPIPE. With a deadline each send() is made
// with MSG_DONTWAIT and poll() waits for room within the deadline.
bool SendAll(int fd, std::string_view data, String& err);
bool SendAll(int fd, std::string_view data, const TDeadline& deadline, String& err);

// One read() of at most size bytes into buf, waiting for data until the
// deadline. got receives the count; 0 means the input has ended.
bool ReadSome(int fd, void* buf, size_t size, size_t& got, const TDeadline& deadline, String& err);

// Reads until size bytes are in buf or the input ends; got receives the count
// (below size only at the end of the input).
bool ReadFull(int fd, void* buf, size_t size, size_t& got, const TDeadline& deadline, String& err);

// Appends everything up to the end of the input to out. Reading stops early
// once more than limit bytes were appended: out.size() then exceeds limit,
// which tells the caller that the input was too large.
bool ReadToEnd(int fd, std::string& out, size_t limit, String& err);
