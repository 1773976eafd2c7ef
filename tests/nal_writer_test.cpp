// Writing a frame's NAL units: every byte the encoder returned reaches the output in order, even
// when a signal cuts a write to a full pipe short.

#include "nal_writer.h"

#include <fcntl.h>
#include <pthread.h>
#include <unistd.h>

#include <cstdint>  // x264.h needs the fixed-width integer types first

#include <x264.h>

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <string>
#include <thread>

namespace {

TEST(WriteNals, ASignalInAWaitingWriteLosesNoByte) {
    int pipe_ends[2];
    ASSERT_EQ(pipe(pipe_ends), 0);
    // Full, so that the first write waits before it has written a byte.
    std::string queued;
    const std::string chunk(4096, 'q');
    ASSERT_EQ(fcntl(pipe_ends[1], F_SETFL, O_NONBLOCK), 0);
    while (write(pipe_ends[1], chunk.data(), chunk.size()) > 0) {
        queued += chunk;
    }
    ASSERT_EQ(fcntl(pipe_ends[1], F_SETFL, 0), 0);
    std::FILE *output = fdopen(pipe_ends[1], "wb");
    ASSERT_NE(output, nullptr);
    ASSERT_EQ(std::setvbuf(output, nullptr, _IONBF, 0), 0);

    // Caught without SA_RESTART, as the program catches its stop signals.
    struct sigaction action = {};
    struct sigaction before = {};
    action.sa_handler = [](int) {};
    ASSERT_EQ(sigaction(SIGUSR1, &action, &before), 0);

    std::string units[] = {std::string(1000, 'a'), std::string(200000, 'b')};
    x264_nal_t nals[2] = {};
    for (int i = 0; i < 2; ++i) {
        nals[i].p_payload = reinterpret_cast<uint8_t *>(units[i].data());
        nals[i].i_payload = static_cast<int>(units[i].size());
    }
    const pthread_t writer = pthread_self();
    std::string received;
    std::thread reader([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        pthread_kill(writer, SIGUSR1);
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        char bytes[1 << 16];
        for (ssize_t n; (n = read(pipe_ends[0], bytes, sizeof bytes)) > 0;) {
            received.append(bytes, static_cast<std::size_t>(n));
        }
    });

    EXPECT_EQ(write_nals(nals, 2, output), 0);
    EXPECT_EQ(std::fclose(output), 0);
    reader.join();
    close(pipe_ends[0]);
    sigaction(SIGUSR1, &before, nullptr);

    EXPECT_TRUE(received == queued + units[0] + units[1]) << "the bytes differ";
}

}  // namespace
