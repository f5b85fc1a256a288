#include <gtest/gtest.h>
#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <string>
#include <thread>

#include "common/io_error.hpp"
#include "common/result.hpp"
#include "common/retry_on_eintr.hpp"
#include "common/unique_fd.hpp"

namespace zelto {
namespace {

TEST(OsErrorText, CarriesDescriptionAndCode) {
    EXPECT_EQ(os_error_text(111), "Connection refused (os error 111)");
    EXPECT_EQ(os_error_text(2), "No such file or directory (os error 2)");
}

TEST(IoError, ShortTransfersKeepTheCallersText) {
    const IoError eof = IoError::unexpected_eof("failed to fill whole buffer");
    EXPECT_EQ(eof.kind, IoErrorKind::UnexpectedEof);
    EXPECT_EQ(eof.code, 0);
    EXPECT_EQ(eof.message, "failed to fill whole buffer");
    const IoError zero = IoError::write_zero("write zero");
    EXPECT_EQ(zero.kind, IoErrorKind::WriteZero);
    EXPECT_EQ(zero.code, 0);
    EXPECT_EQ(zero.message, "write zero");
    EXPECT_EQ(IoError::from_errno(32).code, 32);
}

TEST(RetryOnEintr, ReturnsOtherFailuresAsTheyAre) {
    int calls = 0;
    const int result = retry_on_eintr([&] {
        ++calls;
        errno = EAGAIN;
        return -1;
    });
    EXPECT_EQ(result, -1);
    EXPECT_EQ(errno, EAGAIN);
    EXPECT_EQ(calls, 1);
}

std::atomic<int> signals_handled{0};
void count_signal(int) {
    signals_handled.fetch_add(1);
}

// A blocking receive interrupted by a real signal (handler without SA_RESTART, so the kernel
// does fail it with EINTR) is made again and still gets the bytes sent afterwards.
TEST(RetryOnEintr, ReceiveInterruptedBySignalStillSucceeds) {
    struct sigaction action{};
    action.sa_handler = count_signal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = 0;  // no SA_RESTART
    struct sigaction previous{};
    ASSERT_EQ(sigaction(SIGUSR1, &action, &previous), 0);

    int ends[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, ends), 0);
    const UniqueFd reader(ends[0]);
    const UniqueFd writer(ends[1]);

    std::atomic<int> interrupted{0};
    std::atomic<bool> returned{false};  // ends the signalling if the receive gave up early
    const pthread_t receiver = pthread_self();
    std::thread interrupter([&] {
        // Signal until the receive has really been cut short twice, then send.
        while (interrupted.load() < 2 && !returned.load()) {
            pthread_kill(receiver, SIGUSR1);
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
        const char text[] = "hello";
        EXPECT_EQ(::send(writer.get(), text, 5, 0), 5);
    });

    char received[8] = {};
    const ssize_t got = retry_on_eintr([&] {
        const ssize_t result = ::recv(reader.get(), received, sizeof received, 0);
        if (result == -1 && errno == EINTR) interrupted.fetch_add(1);
        return result;
    });
    returned.store(true);
    interrupter.join();
    sigaction(SIGUSR1, &previous, nullptr);

    ASSERT_EQ(got, 5);
    EXPECT_EQ(std::string(received, 5), "hello");
    EXPECT_GE(interrupted.load(), 2);
    EXPECT_GE(signals_handled.load(), 2);
}

TEST(Result, HoldsValueOrError) {
    Result<int, std::string> ok = 5;
    Result<int, std::string> failed = unexpected(std::string("bad"));
    ASSERT_TRUE(ok);
    EXPECT_EQ(*ok, 5);
    ASSERT_FALSE(failed);
    EXPECT_EQ(failed.error(), "bad");
    Result<void, std::string> done;
    EXPECT_TRUE(done);
}

}  // namespace
}  // namespace zelto
