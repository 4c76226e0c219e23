// A tool in miniature: sends SetSize requests through the tool's own client
// code and counts those not carried out. Run several at once to see that the
// service serves every one of them.
//   wine_service_client COUNT DEFLEN     exit code: the number of failures
#include <cstdio>
#include <cstdlib>

#include "tool/core/service_client.h"
#include "lib/win32/platform_win32.h"
#include "tool/win32/service_transport_win32.h"

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: wine_service_client COUNT DEFLEN\n");
        return 100;
    }
    const int count = std::atoi(argv[1]);
    const auto defLen = static_cast<std::uint32_t>(std::strtoul(argv[2], nullptr, 0));
    qn38::tool::ServiceClient client(qn38::tool::win32::ServiceTransportBackend(),
                                     qn38::tool::win32::RetryPauseBackend(), qn38::win32::TextBackend());
    int failures = 0;
    for (int i = 0; i < count; ++i) {
        if (client.RequestSetSize(defLen, 0, 0xEFFFFFFF) != 1) ++failures;
    }
    std::printf("%d of %d requests not carried out\n", failures, count);
    return failures;
}
