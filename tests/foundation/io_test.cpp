// Whole-buffer transfers over pipes and socket pairs, deadlines and error texts.
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "foundation/fd.h"
#include "foundation/io.h"

namespace {

// Two connected descriptors: [0] is read from, [1] written to.
struct TChannel {
    TFd in, out;
};

enum class TKind { Pipe, NonBlockingPipe, SocketPair };  // NonBlockingPipe: the writing end

TChannel MakeChannel(TKind kind) {
    int fds[2] = {-1, -1};
    TChannel c;
    switch (kind) {
    case TKind::Pipe:
        if (pipe2(fds, O_CLOEXEC) != 0) return c;
        break;
    case TKind::NonBlockingPipe:  // only the writing end
        if (pipe2(fds, O_CLOEXEC) != 0) return c;
        fcntl(fds[1], F_SETFL, O_NONBLOCK);
        break;
    case TKind::SocketPair:
        if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0) return c;
        break;
    }
    c.in.Reset(fds[0]);
    c.out.Reset(fds[1]);
    return c;
}

// A text that shows where a transfer went wrong (no repeating period that
// would hide lost or doubled chunks).
std::string Pattern(size_t n) {
    std::string s(n, '\0');
    uint32_t x = 12345;
    for (char& c : s) {
        x = x * 1103515245u + 12345u;
        c = static_cast<char>(x >> 24);
    }
    return s;
}

// Reads everything from fd until the end of the input on its own thread.
class TDrain {
public:
    explicit TDrain(int fd) : thread_([this, fd] {
        char buf[7000];  // not a multiple of the pipe's pages: more short transfers
        for (;;) {
            ssize_t n = ::read(fd, buf, sizeof buf);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) break;
            got_.append(buf, static_cast<size_t>(n));
        }
    }) {}
    const std::string& Join() {
        thread_.join();
        return got_;
    }

private:
    std::string got_;
    std::thread thread_;
};

// Reads and drops what a writer thread still sends, until it closes its end
// (closing the reading end first would kill the test with SIGPIPE).
void DrainRest(int fd) {
    char buf[4096];
    for (;;) {
        ssize_t n = ::read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;
    }
}

// ------------------------------------------------------------ whole buffers

struct TWriteCase {
    const char* name;
    TKind kind;
    bool socket;       // SendAll instead of WriteAll
    long long deadlineMs;  // < 0: none
    size_t size;
};

void PrintTo(const TWriteCase& c, std::ostream* os) { *os << c.name; }

class WholeBuffer : public ::testing::TestWithParam<TWriteCase> {};

TEST_P(WholeBuffer, ArrivesCompleteThroughAReaderThread) {
    const TWriteCase& c = GetParam();
    TChannel ch = MakeChannel(c.kind);
    ASSERT_TRUE(ch.in.Valid() && ch.out.Valid());
    const std::string data = Pattern(c.size);
    TDrain drain(ch.in.Get());
    String err;
    TDeadline deadline = c.deadlineMs < 0 ? TDeadline::Never() : TDeadline::AfterMs(c.deadlineMs);
    bool ok = c.socket ? SendAll(ch.out.Get(), data, deadline, err) : WriteAll(ch.out.Get(), data, deadline, err);
    EXPECT_TRUE(ok) << err.Data();
    EXPECT_TRUE(err.IsEmpty()) << err.Data();
    ch.out.Reset();  // the reader sees the end
    const std::string& got = drain.Join();
    EXPECT_EQ(got.size(), data.size());
    EXPECT_TRUE(got == data);
}

// 1 MiB is many times a pipe's or socket buffer's capacity: writes come back
// short while the reader catches up.
const TWriteCase kWholeBuffers[] = {
    {"PipeEmpty", TKind::Pipe, false, -1, 0},
    {"PipeOneByte", TKind::Pipe, false, -1, 1},
    {"PipeLarge", TKind::Pipe, false, -1, 1 << 20},
    {"PipeLargeWithDeadline", TKind::Pipe, false, 60000, 1 << 20},
    {"NonBlockingPipeWithDeadline", TKind::NonBlockingPipe, false, 60000, 1 << 20},
    {"SocketLarge", TKind::SocketPair, true, -1, 1 << 20},
    {"SocketLargeWithDeadline", TKind::SocketPair, true, 60000, 1 << 20},
    {"SocketEmptyWithDeadline", TKind::SocketPair, true, 60000, 0},
};

INSTANTIATE_TEST_SUITE_P(Cases, WholeBuffer, ::testing::ValuesIn(kWholeBuffers),
                         [](const auto& info) { return std::string(info.param.name); });

// ------------------------------------------------------------ nobody reads

struct TStuckCase {
    const char* name;
    TKind kind;
    bool socket;
    long long deadlineMs;  // < 0: none
    int expectedErrno;
};

void PrintTo(const TStuckCase& c, std::ostream* os) { *os << c.name; }

class NobodyReads : public ::testing::TestWithParam<TStuckCase> {};

TEST_P(NobodyReads, FailsWithTheCause) {
    const TStuckCase& c = GetParam();
    TChannel ch = MakeChannel(c.kind);
    ASSERT_TRUE(ch.in.Valid() && ch.out.Valid());
    const std::string data = Pattern(4 << 20);  // more than any buffer holds
    String err;
    TDeadline deadline = c.deadlineMs < 0 ? TDeadline::Never() : TDeadline::AfterMs(c.deadlineMs);
    bool ok = c.socket ? SendAll(ch.out.Get(), data, deadline, err) : WriteAll(ch.out.Get(), data, deadline, err);
    int e = errno;
    EXPECT_FALSE(ok);
    EXPECT_EQ(e, c.expectedErrno);
    EXPECT_EQ(err, ErrnoText(c.expectedErrno));
    // What fitted was written before the failure.
    char first = 0;
    ASSERT_EQ(::read(ch.in.Get(), &first, 1), 1);
    EXPECT_EQ(first, data[0]);
}

const TStuckCase kStuck[] = {
    {"BlockingPipeDeadlinePasses", TKind::Pipe, false, 50, ETIMEDOUT},
    {"NonBlockingPipeDeadlinePasses", TKind::NonBlockingPipe, false, 50, ETIMEDOUT},
    {"SocketDeadlinePasses", TKind::SocketPair, true, 50, ETIMEDOUT},
    {"NonBlockingPipeWithoutDeadline", TKind::NonBlockingPipe, false, -1, EAGAIN},
};

INSTANTIATE_TEST_SUITE_P(Cases, NobodyReads, ::testing::ValuesIn(kStuck),
                         [](const auto& info) { return std::string(info.param.name); });

// ------------------------------------------------------------ failures

TEST(SendAll, APeerThatLeftGivesEpipeWithoutASignal) {
    TChannel ch = MakeChannel(TKind::SocketPair);
    ch.in.Reset();
    for (bool withDeadline : {false, true}) {
        String err;
        bool ok = withDeadline ? SendAll(ch.out.Get(), "data", TDeadline::AfterMs(60000), err)
                               : SendAll(ch.out.Get(), "data", err);
        int e = errno;
        EXPECT_FALSE(ok);
        EXPECT_EQ(e, EPIPE);
        EXPECT_EQ(err, ErrnoText(EPIPE));
    }
}

TEST(WriteAll, AnInvalidDescriptorIsEbadf) {
    for (bool withDeadline : {false, true}) {
        String err;
        bool ok = withDeadline ? WriteAll(-1, "x", TDeadline::AfterMs(60000), err) : WriteAll(-1, "x", err);
        int e = errno;
        EXPECT_FALSE(ok);
        EXPECT_EQ(e, EBADF);
        EXPECT_FALSE(err.IsEmpty());
    }
}

// A signal that interrupts a blocked write (no SA_RESTART) costs nothing:
// the transfer goes on where it stopped.
std::atomic<int> g_interruptions{0};
void CountInterruption(int) { ++g_interruptions; }

TEST(WriteAll, ResumesAfterSignalsInterruptIt) {
    struct sigaction sa{}, old{};
    sa.sa_handler = CountInterruption;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = 0;
    ASSERT_EQ(sigaction(SIGUSR1, &sa, &old), 0);

    TChannel ch = MakeChannel(TKind::Pipe);
    const std::string data = Pattern(1 << 20);
    std::atomic<bool> done{false};
    bool ok = false;
    String err;
    std::thread writer([&] {
        ok = WriteAll(ch.out.Get(), data, err);
        done = true;
    });
    // Signal the writer while the pipe is full, then while it drains.
    for (int i = 0; i < 20 && !done; ++i) {
        pthread_kill(writer.native_handle(), SIGUSR1);
        usleep(1000);
    }
    std::string got;
    char buf[4096];
    while (got.size() < data.size()) {
        if (!done) pthread_kill(writer.native_handle(), SIGUSR1);
        ssize_t n = ::read(ch.in.Get(), buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        got.append(buf, static_cast<size_t>(n));
    }
    writer.join();
    sigaction(SIGUSR1, &old, nullptr);
    EXPECT_TRUE(ok) << err.Data();
    EXPECT_TRUE(got == data);
    EXPECT_GT(g_interruptions.load(), 0);
}

// ------------------------------------------------------------ reading

TEST(ReadSome, ReportsDataEndAndAPassedDeadline) {
    TChannel ch = MakeChannel(TKind::Pipe);
    String err;
    char buf[16];
    size_t got = 99;
    // Nothing written yet: the deadline passes.
    EXPECT_FALSE(ReadSome(ch.in.Get(), buf, sizeof buf, got, TDeadline::AfterMs(30), err));
    EXPECT_EQ(errno, ETIMEDOUT);
    EXPECT_EQ(got, 0u);

    ASSERT_EQ(::write(ch.out.Get(), "abc", 3), 3);
    EXPECT_TRUE(ReadSome(ch.in.Get(), buf, sizeof buf, got, TDeadline::AfterMs(60000), err)) << err.Data();
    EXPECT_EQ(std::string(buf, got), "abc");

    ch.out.Reset();
    EXPECT_TRUE(ReadSome(ch.in.Get(), buf, sizeof buf, got, TDeadline::Never(), err)) << err.Data();
    EXPECT_EQ(got, 0u);
}

TEST(ReadSome, WithoutADeadlineANonBlockingDescriptorFailsAtOnce) {
    TChannel ch = MakeChannel(TKind::Pipe);
    ASSERT_EQ(fcntl(ch.in.Get(), F_SETFL, O_NONBLOCK), 0);
    String err;
    char buf[4];
    size_t got = 0;
    EXPECT_FALSE(ReadSome(ch.in.Get(), buf, sizeof buf, got, TDeadline::Never(), err));
    EXPECT_EQ(errno, EAGAIN);
}

TEST(ReadFull, GathersPiecesUntilTheSizeOrTheEnd) {
    struct TCase {
        size_t written;
        size_t asked;
    };
    for (TCase c : {TCase{100000, 100000}, TCase{100000, 60000}, TCase{500, 4096}, TCase{0, 10}}) {
        TChannel ch = MakeChannel(TKind::Pipe);
        const std::string data = Pattern(c.written);
        std::thread writer([&] {
            String werr;
            for (size_t at = 0; at < data.size(); at += 777)  // many small pieces
                WriteAll(ch.out.Get(), std::string_view(data).substr(at, 777), werr);
            ch.out.Reset();
        });
        std::vector<char> buf(c.asked);
        size_t got = 0;
        String err;
        EXPECT_TRUE(ReadFull(ch.in.Get(), buf.data(), buf.size(), got, TDeadline::AfterMs(60000), err))
            << err.Data();
        const size_t expected = std::min(c.written, c.asked);
        EXPECT_EQ(got, expected);
        EXPECT_TRUE(std::string(buf.data(), got) == data.substr(0, expected));
        DrainRest(ch.in.Get());
        writer.join();
    }
}

TEST(ReadToEnd, StopsPastTheLimit) {
    struct TCase {
        size_t written;
        size_t limit;
        bool tooLarge;
    };
    for (TCase c : {TCase{0, 10, false}, TCase{10, 10, false}, TCase{11, 10, true}, TCase{300000, 1 << 20, false},
                    TCase{300000, 1000, true}}) {
        TChannel ch = MakeChannel(TKind::Pipe);
        const std::string data = Pattern(c.written);
        std::thread writer([&] {
            String werr;
            WriteAll(ch.out.Get(), data, werr);
            ch.out.Reset();
        });
        std::string out = "kept:";
        String err;
        EXPECT_TRUE(ReadToEnd(ch.in.Get(), out, c.limit, err)) << err.Data();
        DrainRest(ch.in.Get());
        writer.join();
        EXPECT_EQ(out.size() - 5 > c.limit, c.tooLarge) << c.written << " / " << c.limit;
        EXPECT_EQ(out.substr(0, 5), "kept:");
        if (!c.tooLarge) {
            EXPECT_TRUE(out.substr(5) == data);
        }
    }
}

// ------------------------------------------------------------ deadlines, texts

TEST(WaitReady, ReadyPassedDeadlineAndBadDescriptor) {
    TChannel c = MakeChannel(TKind::SocketPair);
    ASSERT_TRUE(c.in.Valid());
    String err;
    // Room to write at once; nothing to read before the deadline.
    EXPECT_TRUE(WaitReady(c.out.Get(), POLLOUT, TDeadline::AfterMs(0), err)) << err.Std();
    EXPECT_FALSE(WaitReady(c.in.Get(), POLLIN, TDeadline::AfterMs(20), err));
    EXPECT_EQ(errno, ETIMEDOUT);
    EXPECT_EQ(err, ErrnoText(ETIMEDOUT));
    // Data, and a peer that has gone, both make the reader ready.
    ASSERT_TRUE(WriteAll(c.out.Get(), "x", err));
    EXPECT_TRUE(WaitReady(c.in.Get(), POLLIN, TDeadline::Never(), err));
    c.out.Reset();
    char buf[4];
    ASSERT_EQ(read(c.in.Get(), buf, sizeof buf), 1);
    EXPECT_TRUE(WaitReady(c.in.Get(), POLLIN, TDeadline::Never(), err));
    // An invalid descriptor fails at once instead of waiting out the deadline.
    for (int fd : {-1, 1 << 20}) {
        SCOPED_TRACE(fd);
        EXPECT_FALSE(WaitReady(fd, POLLIN, TDeadline::Never(), err));
        EXPECT_EQ(errno, EBADF);
    }
}

TEST(TDeadline, PollTimes) {
    EXPECT_FALSE(TDeadline::Never().IsSet());
    EXPECT_EQ(TDeadline::Never().PollMs(), -1);
    EXPECT_FALSE(TDeadline::Never().Passed());
    EXPECT_TRUE(TDeadline::AfterMs(-5).Passed());
    EXPECT_EQ(TDeadline::AfterMs(-5).PollMs(), 0);
    TDeadline later = TDeadline::AfterMs(3600000);
    EXPECT_TRUE(later.IsSet());
    EXPECT_FALSE(later.Passed());
    EXPECT_GT(later.PollMs(), 3500000);
    EXPECT_LE(later.PollMs(), 3600000);
}

TEST(ErrnoText, GivesTheSystemTextFromManyThreads) {
    const String enoent = ErrnoText(ENOENT);
    EXPECT_EQ(enoent, "No such file or directory");
    EXPECT_FALSE(ErrnoText(123456).IsEmpty());
    std::atomic<int> mismatches{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&, t] {
            for (int i = 0; i < 2000; ++i) {
                int e = (i + t) % 2 ? ENOENT : EPIPE;
                String text = ErrnoText(e);
                if (text != (e == ENOENT ? "No such file or directory" : "Broken pipe")) ++mismatches;
            }
        });
    for (auto& th : threads) th.join();
    EXPECT_EQ(mismatches.load(), 0);
}

}  // namespace
