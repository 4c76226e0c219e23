// One request's round trip through the service (connect, 228 bytes each way,
// disconnect) against a raw named-pipe echo of 228 bytes, measured in the
// same run, alternating, with a short idle gap before every sample so each
// one finds its server listening. Prints p50 and p99 of both and their ratio.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <thread>
#include <vector>

#include "tool/core/service_client.h"
#include "tests/wine/service_harness.h"
#include "lib/win32/platform_win32.h"
#include "tool/win32/service_transport_win32.h"

namespace qn38::winetest {
namespace {

constexpr const wchar_t* ECHO_PIPE = L"\\\\.\\pipe\\QN38RoundTripEcho";
constexpr int WARM_UP = 20;
constexpr int ROUNDS = 10;
constexpr int PER_ROUND = 50;
// Before every sample both servers are idle and listening: the service
// finishes its previous exchange (disconnect, event closed, listen again)
// after its client has the reply, and a client that came sooner would find it
// busy and pause 100 ms, which measures the pause, not the exchange.
constexpr DWORD IDLE_MS = 2;

void UntilListening(const wchar_t* pipe) {
    Sleep(IDLE_MS);
    WaitNamedPipeW(pipe, 1000);
}

double Microseconds(LARGE_INTEGER from, LARGE_INTEGER to) {
    static const double frequency = [] {
        LARGE_INTEGER f;
        QueryPerformanceFrequency(&f);
        return static_cast<double>(f.QuadPart);
    }();
    return static_cast<double>(to.QuadPart - from.QuadPart) * 1e6 / frequency;
}

double Percentile(std::vector<double> samples, double fraction) {
    std::sort(samples.begin(), samples.end());
    const auto index = static_cast<std::size_t>(fraction * static_cast<double>(samples.size() - 1) + 0.5);
    return samples[index];
}

// The raw server: the same pipe parameters as the service's, no event, no library.
class EchoServer {
public:
    EchoServer() : thread_([this] { Serve(); }) {}
    ~EchoServer() {
        stop_ = true;
        // Wake the listen with one last connection.
        qn38::win32::FileHandle wake(
            CreateFileW(ECHO_PIPE, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr));
        thread_.join();
    }

private:
    void Serve() {
        qn38::win32::FileHandle pipe(CreateNamedPipeW(
            ECHO_PIPE, PIPE_ACCESS_DUPLEX | FILE_FLAG_FIRST_PIPE_INSTANCE,
            PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT | PIPE_REJECT_REMOTE_CLIENTS, 1, 512, 512, 1000, nullptr));
        while (!stop_) {
            if (!ConnectNamedPipe(pipe.get(), nullptr) && GetLastError() != ERROR_PIPE_CONNECTED) break;
            if (stop_) break;
            std::uint8_t record[SERVICE_REQUEST_SIZE];
            DWORD moved = 0;
            if (ReadFile(pipe.get(), record, sizeof record, &moved, nullptr) && moved == sizeof record) {
                WriteFile(pipe.get(), record, sizeof record, &moved, nullptr);
                FlushFileBuffers(pipe.get());
            }
            DisconnectNamedPipe(pipe.get());
        }
    }

    std::atomic<bool> stop_{false};
    std::thread thread_;
};

bool EchoRoundTrip() {
    qn38::win32::FileHandle pipe;
    for (int attempt = 0; attempt < 1000 && !pipe; ++attempt) {
        pipe = qn38::win32::FileHandle(
            CreateFileW(ECHO_PIPE, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr));
        if (!pipe) WaitNamedPipeW(ECHO_PIPE, 100);
    }
    std::uint8_t record[SERVICE_REQUEST_SIZE] = {7};
    DWORD moved = 0;
    if (!WriteFile(pipe.get(), record, sizeof record, &moved, nullptr)) return false;
    FlushFileBuffers(pipe.get());
    return ReadFile(pipe.get(), record, sizeof record, &moved, nullptr) && moved == sizeof record;
}

TEST(ServiceRoundTrip, AgainstARawNamedPipeEcho) {
    std::string failure;
    auto service = InstalledService::Install(failure);
    ASSERT_NE(service, nullptr) << failure;
    ASSERT_TRUE(service->Start());
    EchoServer echo;
    tool::ServiceClient client(tool::win32::ServiceTransportBackend(), tool::win32::RetryPauseBackend(),
                               qn38::win32::TextBackend());

    // An unknown command: the service's own work only, no library call.
    auto serviceRoundTrip = [&] {
        ServiceRequest request;
        request.command = 7;
        request.result = 0x5A5A5A5A;
        request.lastError = 0xFFFFFFFF;
        return client.SendServiceRequest(request) == 0x5A5A5A5A && request.lastError != 0xFFFFFFFF;
    };

    for (int i = 0; i < WARM_UP; ++i) {
        UntilListening(ECHO_PIPE);
        ASSERT_TRUE(EchoRoundTrip());
        UntilListening(SERVICE_PIPE_NAME);
        ASSERT_TRUE(serviceRoundTrip());
    }
    std::vector<double> raw;
    std::vector<double> served;
    int failures = 0;
    for (int round = 0; round < ROUNDS; ++round) {
        for (int i = 0; i < PER_ROUND; ++i) {
            UntilListening(ECHO_PIPE);
            LARGE_INTEGER start;
            LARGE_INTEGER end;
            QueryPerformanceCounter(&start);
            failures += !EchoRoundTrip();
            QueryPerformanceCounter(&end);
            raw.push_back(Microseconds(start, end));
        }
        for (int i = 0; i < PER_ROUND; ++i) {
            UntilListening(SERVICE_PIPE_NAME);
            LARGE_INTEGER start;
            LARGE_INTEGER end;
            QueryPerformanceCounter(&start);
            failures += !serviceRoundTrip();
            QueryPerformanceCounter(&end);
            served.push_back(Microseconds(start, end));
        }
    }
    EXPECT_EQ(failures, 0);

    const double rawP50 = Percentile(raw, 0.50);
    const double rawP99 = Percentile(raw, 0.99);
    const double servedP50 = Percentile(served, 0.50);
    const double servedP99 = Percentile(served, 0.99);
    std::printf("round trip, %zu samples each (microseconds)\n", raw.size());
    std::printf("  raw 228-byte echo     p50 %8.1f   p99 %8.1f\n", rawP50, rawP99);
    std::printf("  service request       p50 %8.1f   p99 %8.1f\n", servedP50, servedP99);
    std::printf("  ratio                 p50 %8.2f   p99 %8.2f\n", servedP50 / rawP50, servedP99 / rawP99);
    const auto retried = std::count_if(served.begin(), served.end(), [](double us) { return us >= 100000.0; });
    std::printf("  service requests that found the pipe busy and paused 100 ms: %lld\n",
                static_cast<long long>(retried));
    RecordProperty("raw_p50_us", std::to_string(rawP50));
    RecordProperty("service_p50_us", std::to_string(servedP50));
}

}  // namespace
}  // namespace qn38::winetest
