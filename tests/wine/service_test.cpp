// The 64-bit service under Wine's service control manager, asked by a client
// built from the tool's own client code, and by clients that misbehave.
#include <gtest/gtest.h>

#include <aclapi.h>
#include <sddl.h>

#include <atomic>
#include <cstring>
#include <thread>

#include "lib/include/QN38HotPlug.h"
#include "service/core/pipe_access.h"
#include "service/core/ports/connection.h"
#include "tool/core/service_client.h"
#include "tests/wine/service_harness.h"
#include "lib/win32/platform_win32.h"
#include "tool/win32/service_transport_win32.h"

namespace qn38::winetest {
namespace {

InstalledService* service = nullptr;

class ServiceEnvironment final : public ::testing::Environment {
public:
    void SetUp() override {
        DeleteDriverKey();
        std::string failure;
        installed_ = InstalledService::Install(failure);
        ASSERT_NE(installed_, nullptr) << failure;
        ASSERT_TRUE(installed_->Start()) << "the service did not reach RUNNING";
        service = installed_.get();
    }
    void TearDown() override {
        service = nullptr;
        installed_.reset();
        DeleteDriverKey();
    }

private:
    std::unique_ptr<InstalledService> installed_;
};

const auto* const environment = ::testing::AddGlobalTestEnvironment(new ServiceEnvironment);

tool::ServiceClient& Client() {
    static tool::ServiceClient client(tool::win32::ServiceTransportBackend(), tool::win32::RetryPauseBackend(),
                                      qn38::win32::TextBackend());
    return client;
}

// The reply must equal the request byte for byte, but for the result (when
// given) and the last-error code.
void ExpectReplyOf(const ServiceRequestBytes& sent, const ServiceRequest& reply, std::optional<std::int32_t> result) {
    ServiceRequestBytes expected = sent;
    if (result) {
        ServiceRequest withResult = DecodeServiceRequest(sent);
        withResult.result = static_cast<std::uint32_t>(*result);
        expected = EncodeServiceRequest(withResult);
    }
    ServiceRequestBytes actual = EncodeServiceRequest(reply);
    if (!result) std::copy_n(sent.begin() + 4, 4, actual.begin() + 4);
    std::copy_n(sent.begin() + 8, 4, actual.begin() + 8);
    EXPECT_EQ(actual, expected);
}

ServiceRequest SetSize(std::uint32_t defLen) {
    ServiceRequest request;
    request.command = CMD_SET_SIZE;
    request.defLen = defLen;
    request.startAdrs = 0;
    request.endAdrs = 0xEFFFFFFF;
    return request;
}

std::vector<std::uint8_t> Wire(const ServiceRequest& request, std::size_t bytes = SERVICE_REQUEST_SIZE) {
    const ServiceRequestBytes all = EncodeServiceRequest(request);
    std::vector<std::uint8_t> wire(all.begin(), all.end());
    wire.resize(bytes, 0xA5);
    return wire;
}

// Bounds against a hang, never a measure of speed: a loaded machine may take
// seconds for what an idle one does in milliseconds.
constexpr DWORD HANG_BOUND_MS = 30000;

// The service serves again: a request from the tool's client succeeds within
// the bound (the client's own attempts last about a second each time).
::testing::AssertionResult ServesAgainWithin(DWORD timeoutMs, std::uint32_t defLen = 0x00100000) {
    const DWORD started = GetTickCount();
    while (GetTickCount() - started < timeoutMs) {
        ServiceRequest request = SetSize(defLen);
        if (Client().SendServiceRequest(request) == 1 && DriverValue(L"DefLen") == defLen) {
            return ::testing::AssertionSuccess();
        }
    }
    return ::testing::AssertionFailure() << "no request served within " << timeoutMs << " ms";
}

// --- each command's reply ---

TEST(ServiceReplies, AddFilterWithoutAnAdapterAnswersZero) {
    ServiceRequest request;
    request.command = CMD_ADD_FILTER;
    const ServiceRequestBytes sent = EncodeServiceRequest(request);
    EXPECT_EQ(Client().SendServiceRequest(request), 0);
    ExpectReplyOf(sent, request, 0);
}

TEST(ServiceReplies, SetStatusForABusWithoutASlotBridgeAnswersZero) {
    ServiceRequest request;
    request.command = CMD_SET_STATUS;
    request.bus = 5;
    request.linkEnable = 1;
    const ServiceRequestBytes sent = EncodeServiceRequest(request);
    EXPECT_EQ(Client().SendServiceRequest(request), 0);
    ExpectReplyOf(sent, request, 0);
    EXPECT_EQ(Client().RequestSetStatus(5, 0, 0, 1), 0);
}

TEST(ServiceReplies, SetSizeWithoutTheDriverKeyAnswersZeroAndCreatesNothing) {
    DeleteDriverKey();
    EXPECT_EQ(Client().RequestSetSize(0x00200000, 0, 0xEFFFFFFF), 0);
    EXPECT_FALSE(DriverKeyExists());
}

TEST(ServiceReplies, SetSizeStoresTheWindowInTheDriverKey) {
    ASSERT_TRUE(CreateDriverKey());
    ServiceRequest request = SetSize(0x00200000);
    const ServiceRequestBytes sent = EncodeServiceRequest(request);
    EXPECT_EQ(Client().SendServiceRequest(request), 1);
    ExpectReplyOf(sent, request, 1);
    EXPECT_EQ(DriverValue(L"DefLen"), 0x00200000u);
    EXPECT_EQ(DriverValue(L"StartAdrs"), 0u);
    EXPECT_EQ(DriverValue(L"EndAdrs"), 0xEFFFFFFFu);
}

TEST(ServiceReplies, SetSizeBreakingTheWindowRuleLeavesTheDriverKeyAsItWas) {
    ASSERT_TRUE(CreateDriverKey());
    ASSERT_EQ(Client().RequestSetSize(0x00300000, 0x00100000, 0x004FFFFF), 1);
    EXPECT_EQ(Client().RequestSetSize(0x00400000, 0x00100000, 0x002FFFFF), 0);  // window smaller than the size
    EXPECT_EQ(Client().RequestSetSize(0, 0, 0xEFFFFFFF), 0);
    EXPECT_EQ(Client().RequestSetSize(0x00280000, 0, 0xEFFFFFFF), 0);  // not whole MiB
    EXPECT_EQ(DriverValue(L"DefLen"), 0x00300000u);
    EXPECT_EQ(DriverValue(L"StartAdrs"), 0x00100000u);
    EXPECT_EQ(DriverValue(L"EndAdrs"), 0x004FFFFFu);
}

TEST(ServiceReplies, WriteLogWithAFullUnterminatedTitleWritesTheTitleEntryBesideTheService) {
    std::u16string title;
    for (int i = 0; i < 200; ++i) title.push_back(static_cast<char16_t>(u'a' + i % 26));
    ServiceRequest request;
    request.command = CMD_WRITE_LOG;
    for (std::size_t i = 0; i < SERVICE_TEXT_CAPACITY; ++i) request.text[i] = static_cast<char>(title[i]);
    const ServiceRequestBytes sent = EncodeServiceRequest(request);
    Client().SendServiceRequest(request);  // its result means nothing to the tool
    ExpectReplyOf(sent, request, std::nullopt);

    const std::wstring logPath = service->directory() + L"\\QN38.LOG";
    qn38::win32::FileHandle log(CreateFileW(logPath.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                            OPEN_EXISTING, 0, nullptr));
    ASSERT_TRUE(log) << "no log beside the service's executable";
    std::string contents(2 * 1024 * 1024, '\0');
    DWORD read = 0;
    ReadFile(log.get(), contents.data(), static_cast<DWORD>(contents.size()), &read, nullptr);
    contents.resize(read);
    EXPECT_EQ(contents.substr(0, 8), std::string("QN38LOG\0", 8));
    // The entry holds what fits of "\r\n\r\n<title>\r\n<time>" in one 200-byte slot.
    const std::string entry = "\r\n\r\n" + std::string(request.text, 196);
    bool found = false;
    for (std::size_t slot = 200; slot + 200 <= contents.size() && !found; slot += 200) {
        found = contents.compare(slot, entry.size(), entry) == 0;
    }
    EXPECT_TRUE(found) << "no title entry in the log";
}

TEST(ServiceReplies, UnknownCommandsComeBackUnchangedButTheLastError) {
    for (std::uint32_t command : {7u, 0u}) {
        ServiceRequest request;
        request.command = command;
        request.result = 0x11223344;
        request.bus = 0xFE;
        request.defLen = 0xCAFEF00D;
        std::memcpy(request.text, "unchanged", 9);
        request.text[199] = 'z';
        const ServiceRequestBytes sent = EncodeServiceRequest(request);
        EXPECT_EQ(Client().SendServiceRequest(request), 0x11223344) << "command " << command;
        ExpectReplyOf(sent, request, 0x11223344);
    }
}

// --- the pipe ---

std::vector<BYTE> WellKnownSid(WELL_KNOWN_SID_TYPE type) {
    std::vector<BYTE> sid(SECURITY_MAX_SID_SIZE);
    DWORD size = static_cast<DWORD>(sid.size());
    if (!CreateWellKnownSid(type, nullptr, sid.data(), &size)) return {};
    sid.resize(size);
    return sid;
}

// An object's access list, read through a handle that carries READ_CONTROL;
// null when it cannot be read.
struct AccessList {
    qn38::win32::LocalMemory descriptor;
    PACL dacl = nullptr;
};

AccessList AccessListOf(HANDLE object) {
    AccessList list;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (GetSecurityInfo(object, SE_KERNEL_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr, &list.dacl, nullptr,
                        &descriptor) != ERROR_SUCCESS) {
        return {};
    }
    list.descriptor = qn38::win32::LocalMemory(descriptor);
    return list;
}

// Every entry of the list allows, inherits nothing, and names the account
// and the rights given, in this order.
void ExpectAllowedEntries(const ACL* dacl, const std::vector<std::pair<std::vector<BYTE>, DWORD>>& expected) {
    ASSERT_EQ(dacl->AceCount, expected.size());
    for (DWORD i = 0; i < dacl->AceCount; ++i) {
        void* entry = nullptr;
        ASSERT_TRUE(GetAce(const_cast<ACL*>(dacl), i, &entry));
        const auto* allowed = static_cast<const ACCESS_ALLOWED_ACE*>(entry);
        EXPECT_EQ(allowed->Header.AceType, ACCESS_ALLOWED_ACE_TYPE) << "entry " << i;
        EXPECT_EQ(allowed->Header.AceFlags, 0) << "entry " << i;
        EXPECT_TRUE(EqualSid(const_cast<DWORD*>(&allowed->SidStart), const_cast<BYTE*>(expected[i].first.data())))
            << "entry " << i;
        EXPECT_EQ(allowed->Mask, expected[i].second) << "entry " << i;
    }
}

TEST(ServicePipe, AccessListGivesUsersReadAndWriteButNoControlOverThePipe) {
    // With the event created the service waits for a request, and the
    // client's handle (which carries READ_CONTROL) reads the descriptor meanwhile.
    const auto client = RawClient::Connect(true);
    ASSERT_NE(client, nullptr);
    PACL dacl = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    ASSERT_EQ(GetSecurityInfo(client->pipe(), SE_KERNEL_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr, &dacl,
                              nullptr, &descriptor),
              static_cast<DWORD>(ERROR_SUCCESS));
    ASSERT_NE(dacl, nullptr) << "a pipe without an access list is open to everyone";

    ExpectAllowedEntries(dacl, {
                                   {WellKnownSid(WinLocalSystemSid), 0x001F01FF},
                                   {WellKnownSid(WinBuiltinAdministratorsSid), 0x001F01FF},
                                   {WellKnownSid(WinBuiltinUsersSid), service::PIPE_CLIENT_READ_WRITE},
                               });
    const DWORD users = static_cast<const ACCESS_ALLOWED_ACE*>([&] {
                            void* entry = nullptr;
                            GetAce(dacl, 2, &entry);
                            return entry;
                        }())
                            ->Mask;
    EXPECT_EQ(users & (WRITE_DAC | WRITE_OWNER | FILE_CREATE_PIPE_INSTANCE | DELETE), 0u);
    EXPECT_EQ(users & (FILE_READ_DATA | FILE_WRITE_DATA | SYNCHRONIZE),
              static_cast<DWORD>(FILE_READ_DATA | FILE_WRITE_DATA | SYNCHRONIZE));
    LocalFree(descriptor);
}

TEST(ServicePipe, SecondServerInstanceIsRefusedOrSentNothing) {
    // Windows refuses it, for Users lack FILE_CREATE_PIPE_INSTANCE (the test
    // above). Wine grants its one user every right and ignores the
    // first-instance flag, and the service makes its instances as they are
    // needed, so there it is made: the tool must then never send it a request.
    ASSERT_TRUE(CreateDriverKey());
    qn38::win32::FileHandle impostor(CreateNamedPipeW(SERVICE_PIPE_NAME, PIPE_ACCESS_DUPLEX, PIPE_TYPE_BYTE,
                                                      static_cast<DWORD>(service::PIPE_INSTANCE_CAP), 512, 512, 0,
                                                      nullptr));
    EXPECT_TRUE(ServesAgainWithin(HANG_BOUND_MS, 0x00B00000));
    if (impostor) {
        DWORD available = 0;
        EXPECT_FALSE(PeekNamedPipe(impostor.get(), nullptr, 0, nullptr, &available, nullptr) && available > 0)
            << available << " bytes reached a server that is not the service";
    }
}

TEST(ServicePipe, CarriesAMediumLabelThatRefusesLowerIntegrityReadAndWrite) {
    const auto client = RawClient::Connect(true);
    ASSERT_NE(client, nullptr);
    PACL sacl = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    ASSERT_EQ(GetSecurityInfo(client->pipe(), SE_KERNEL_OBJECT, LABEL_SECURITY_INFORMATION, nullptr, nullptr, nullptr,
                              &sacl, &descriptor),
              static_cast<DWORD>(ERROR_SUCCESS));
    const qn38::win32::LocalMemory owned(descriptor);
    ASSERT_NE(sacl, nullptr) << "without a label a low-integrity process may open the pipe for reading";
    ASSERT_EQ(sacl->AceCount, 1);
    void* entry = nullptr;
    ASSERT_TRUE(GetAce(sacl, 0, &entry));
    const auto* label = static_cast<const SYSTEM_MANDATORY_LABEL_ACE*>(entry);
    EXPECT_EQ(label->Header.AceType, SYSTEM_MANDATORY_LABEL_ACE_TYPE);
    EXPECT_EQ(label->Mask, static_cast<DWORD>(SYSTEM_MANDATORY_LABEL_NO_WRITE_UP | SYSTEM_MANDATORY_LABEL_NO_READ_UP));
    EXPECT_TRUE(EqualSid(const_cast<DWORD*>(&label->SidStart), WellKnownSid(WinMediumLabelSid).data()));
}

// --- the shared event ---

TEST(ServiceEvent, CarriesAnAccessListThatLetsEveryInteractiveUserWaitAndSetIt) {
    const auto event = tool::win32::ServiceTransportBackend().CreateOrOpenEvent();
    ASSERT_NE(event, nullptr);
    // Its creator owns it, and an owner may always read its descriptor.
    qn38::win32::KernelHandle reader(OpenEventW(READ_CONTROL, FALSE, SERVICE_EVENT_NAME));
    ASSERT_TRUE(reader) << GetLastError();
    const AccessList list = AccessListOf(reader.get());
    ASSERT_NE(list.dacl, nullptr);
    ExpectAllowedEntries(list.dacl, {
                                        {WellKnownSid(WinLocalSystemSid), EVENT_ALL_ACCESS},
                                        {WellKnownSid(WinInteractiveSid), SYNCHRONIZE | EVENT_MODIFY_STATE},
                                    });
}

TEST(ServiceEvent, NameTakenFirstWithAListThatDeniesEveryoneDoesNotStopARequest) {
    ASSERT_TRUE(CreateDriverKey());
    PSECURITY_DESCRIPTOR denying = nullptr;
    ASSERT_TRUE(ConvertStringSecurityDescriptorToSecurityDescriptorW(L"D:P", SDDL_REVISION_1, &denying, nullptr));
    const qn38::win32::LocalMemory owned(denying);
    SECURITY_ATTRIBUTES attributes{sizeof attributes, denying, FALSE};
    // The service may still hold the last exchange's event for a moment; the
    // squatter must be the one that creates it.
    qn38::win32::KernelHandle squatter;
    for (const DWORD started = GetTickCount(); !squatter && GetTickCount() - started < HANG_BOUND_MS; Sleep(10)) {
        squatter = qn38::win32::KernelHandle(CreateEventW(&attributes, TRUE, TRUE, SERVICE_EVENT_NAME));
        if (squatter && GetLastError() == ERROR_ALREADY_EXISTS) squatter.reset();
    }
    ASSERT_TRUE(squatter);
    EXPECT_EQ(Client().RequestSetSize(0x00900000, 0, 0xEFFFFFFF), 1);
    EXPECT_EQ(DriverValue(L"DefLen"), 0x00900000u);

    // Another kind of object under the name costs as little.
    squatter.reset();
    qn38::win32::KernelHandle mutex;
    for (const DWORD started = GetTickCount(); !mutex && GetTickCount() - started < HANG_BOUND_MS; Sleep(10)) {
        mutex = qn38::win32::KernelHandle(CreateMutexW(nullptr, FALSE, SERVICE_EVENT_NAME));
    }
    ASSERT_TRUE(mutex);
    EXPECT_EQ(Client().RequestSetSize(0x00A00000, 0, 0xEFFFFFFF), 1);
    EXPECT_EQ(DriverValue(L"DefLen"), 0x00A00000u);
}

// --- several clients ---

TEST(ServiceClients, TwoClientProcessesSendingAtOnceAreAllServed) {
    ASSERT_TRUE(CreateDriverKey());
    std::vector<ProcessResult> results(2);
    std::vector<std::thread> runs;
    for (int i = 0; i < 2; ++i) {
        runs.emplace_back([&, i] {
            results[i] = RunProcess(
                L"\"" + ProgramDirectory() + L"\\wine_service_client.exe\" 20 " + std::to_wstring(0x00100000 * (i + 1)),
                120000);
        });
    }
    for (auto& run : runs) run.join();
    for (const auto& result : results) {
        EXPECT_TRUE(result.finished);
        EXPECT_EQ(result.exitCode, 0u) << result.output;
    }
}

TEST(ServiceClients, ProcessHoldingEveryConnectionItCanGetLeavesAnotherProcessServed) {
    // Under Wine every process runs in one logon session, so the holder and
    // the other process share one session's share of the instances: what this
    // shows is that a holder cannot take every instance (one still listens
    // for the other process, which is answered at once instead of finding the
    // pipe busy) and that its held connections end within their bounds, after
    // which the other process is served while the holder still holds them.
    // That another session is served while the holder holds only a real PC
    // can show.
    ASSERT_TRUE(CreateDriverKey());
    ASSERT_TRUE(ServesAgainWithin(HANG_BOUND_MS));
    std::vector<qn38::win32::FileHandle> held;
    for (int i = 0; i < 2 * static_cast<int>(service::PIPE_INSTANCE_CAP); ++i) {
        qn38::win32::FileHandle pipe(
            CreateFileW(SERVICE_PIPE_NAME, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr));
        if (!pipe) break;
        held.push_back(std::move(pipe));
    }
    // Tried as the tool does, 10 times 100 ms apart.
    qn38::win32::FileHandle another;
    for (int attempt = 0; attempt < 10 && !another; ++attempt) {
        another = qn38::win32::FileHandle(
            CreateFileW(SERVICE_PIPE_NAME, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr));
        if (!another) Sleep(100);
    }
    EXPECT_TRUE(another) << "every instance taken by one process: " << GetLastError();
    another.reset();
    ProcessResult served;
    for (const DWORD started = GetTickCount(); GetTickCount() - started < HANG_BOUND_MS;) {
        served = RunProcess(L"\"" + ProgramDirectory() + L"\\wine_service_client.exe\" 1 0x00C00000", 60000);
        if (served.finished && served.exitCode == 0) break;
    }
    EXPECT_TRUE(served.finished && served.exitCode == 0) << served.output;
    EXPECT_EQ(DriverValue(L"DefLen"), 0x00C00000u);
}

TEST(ServiceClients, ThreadsOfOneToolShareTheClientWithoutLosingARequest) {
    ASSERT_TRUE(CreateDriverKey());
    std::atomic<int> failures{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 2; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < 10; ++i) {
                if (Client().RequestSetSize(0x00100000, 0, 0xEFFFFFFF) != 1) ++failures;
            }
        });
    }
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(failures, 0);
}

// --- clients that misbehave cost only their own connection ---

class MalformedClient : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(CreateDriverKey());
        // The previous client may still hold the one instance for a moment.
        ASSERT_TRUE(ServesAgainWithin(HANG_BOUND_MS, 0x00100000));
    }
};

TEST_F(MalformedClient, WithoutTheEventHasItsWholeRequestPerformedAndAnswered) {
    // The event tells a waiting tool that the work is done; the reply on the
    // pipe is what counts, so a client without it is served all the same.
    const auto client = RawClient::Connect(false);
    ASSERT_NE(client, nullptr);
    ASSERT_TRUE(client->Send(Wire(SetSize(0x00700000))));
    const std::vector<std::uint8_t> reply = client->Receive(SERVICE_REQUEST_SIZE, HANG_BOUND_MS);
    ASSERT_EQ(reply.size(), SERVICE_REQUEST_SIZE);
    EXPECT_EQ(ServiceResult(DecodeServiceRequest(std::span<const std::uint8_t, SERVICE_REQUEST_SIZE>(reply))), 1);
    EXPECT_EQ(DriverValue(L"DefLen"), 0x00700000u);
    EXPECT_TRUE(ServesAgainWithin(HANG_BOUND_MS));
}

TEST_F(MalformedClient, SendingPartOfARecordAndWaitingIsAnsweredWithoutPerformingIt) {
    const auto client = RawClient::Connect(true);
    ASSERT_NE(client, nullptr);
    ASSERT_TRUE(client->Send(Wire(SetSize(0x00700000), 100)));
    // Answered at the service's 2 s bound; a service without one never answers.
    const std::vector<std::uint8_t> reply = client->Receive(SERVICE_REQUEST_SIZE, HANG_BOUND_MS);
    ASSERT_EQ(reply.size(), SERVICE_REQUEST_SIZE);
    const ServiceRequest answer = DecodeServiceRequest(std::span<const std::uint8_t, SERVICE_REQUEST_SIZE>(reply));
    EXPECT_EQ(answer.command, CMD_SET_SIZE);
    EXPECT_EQ(ServiceResult(answer), 0);
    EXPECT_EQ(DriverValue(L"DefLen"), 0x00100000u);
    EXPECT_TRUE(ServesAgainWithin(HANG_BOUND_MS, 0x00200000));
}

TEST_F(MalformedClient, SendingPartOfARecordAndLeavingChangesNothing) {
    {
        const auto client = RawClient::Connect(true);
        ASSERT_NE(client, nullptr);
        ASSERT_TRUE(client->Send(Wire(SetSize(0x00700000), 16)));
    }
    EXPECT_TRUE(ServesAgainWithin(HANG_BOUND_MS, 0x00200000));
    EXPECT_NE(DriverValue(L"DefLen"), 0x00700000u);
}

TEST_F(MalformedClient, NeverSendingIsAnsweredAfterTheBound) {
    const auto client = RawClient::Connect(true);
    ASSERT_NE(client, nullptr);
    const DWORD started = GetTickCount();
    const std::vector<std::uint8_t> reply = client->Receive(SERVICE_REQUEST_SIZE, HANG_BOUND_MS);
    EXPECT_GE(GetTickCount() - started, 1000u);  // it waited for the request, as the bound says
    ASSERT_EQ(reply.size(), SERVICE_REQUEST_SIZE);
    EXPECT_EQ(DecodeServiceRequest(std::span<const std::uint8_t, SERVICE_REQUEST_SIZE>(reply)).command, 0u);
    EXPECT_TRUE(client->Disconnected(HANG_BOUND_MS));
    EXPECT_TRUE(ServesAgainWithin(HANG_BOUND_MS, 0x00200000));
}

TEST_F(MalformedClient, VanishingAfterAWholeRequestHasItPerformed) {
    {
        const auto client = RawClient::Connect(true);
        ASSERT_NE(client, nullptr);
        ASSERT_TRUE(client->Send(Wire(SetSize(0x00700000))));
    }
    // The request arrived whole, so it is performed, however soon the client
    // let go of the pipe and of the event.
    const DWORD started = GetTickCount();
    while (DriverValue(L"DefLen") != 0x00700000u && GetTickCount() - started < HANG_BOUND_MS) Sleep(20);
    EXPECT_EQ(DriverValue(L"DefLen"), 0x00700000u);
    EXPECT_TRUE(ServesAgainWithin(HANG_BOUND_MS, 0x00200000));
}

TEST_F(MalformedClient, StoppingToReadHoldsTheServiceOnlyForABoundedTime) {
    const auto client = RawClient::Connect(true);
    ASSERT_NE(client, nullptr);
    ASSERT_TRUE(client->Send(Wire(SetSize(0x00700000))));
    // Served again, by another instance, while this client still holds its
    // end; and the service gives up on it after its flush bound rather than
    // waiting for it to leave (looked at without reading, which would end
    // the flush).
    EXPECT_TRUE(ServesAgainWithin(HANG_BOUND_MS, 0x00200000));
    DWORD available = 0;
    for (const DWORD started = GetTickCount();
         PeekNamedPipe(client->pipe(), nullptr, 0, nullptr, &available, nullptr) &&
         GetTickCount() - started < HANG_BOUND_MS;) {
        Sleep(20);
    }
    EXPECT_FALSE(PeekNamedPipe(client->pipe(), nullptr, 0, nullptr, &available, nullptr));
}

TEST_F(MalformedClient, SendingMoreThanARecordGetsTheReplyToTheRecord) {
    const auto client = RawClient::Connect(true);
    ASSERT_NE(client, nullptr);
    ASSERT_TRUE(client->Send(Wire(SetSize(0x00300000), 300)));
    const std::vector<std::uint8_t> reply = client->Receive(SERVICE_REQUEST_SIZE, HANG_BOUND_MS);
    ASSERT_EQ(reply.size(), SERVICE_REQUEST_SIZE);
    EXPECT_EQ(ServiceResult(DecodeServiceRequest(std::span<const std::uint8_t, SERVICE_REQUEST_SIZE>(reply))), 1);
    EXPECT_EQ(DriverValue(L"DefLen"), 0x00300000u);
}

// --- the service control manager's view; these run last, the stop at the very end ---

TEST(ServiceControl, RunsInItsOwnProcessAcceptingStopAndShutdown) {
    const auto status = service->Query();
    ASSERT_TRUE(status);
    EXPECT_EQ(status->dwServiceType, static_cast<DWORD>(SERVICE_WIN32_OWN_PROCESS));
    EXPECT_EQ(status->dwCurrentState, static_cast<DWORD>(SERVICE_RUNNING));
    EXPECT_EQ(status->dwControlsAccepted, static_cast<DWORD>(SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN));
    EXPECT_EQ(status->dwWin32ExitCode, 0u);

    const auto interrogated = service->Control(SERVICE_CONTROL_INTERROGATE);
    ASSERT_TRUE(interrogated);
    EXPECT_EQ(interrogated->dwCurrentState, static_cast<DWORD>(SERVICE_RUNNING));
    EXPECT_EQ(interrogated->dwControlsAccepted, static_cast<DWORD>(SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN));

    // Wine's sc prints no line of accepted controls; it shows the type and the state.
    const ProcessResult query = RunProcess(L"sc.exe query QN38HotPlugService");
    EXPECT_NE(query.output.find("WIN32_OWN_PROCESS"), std::string::npos) << query.output;
    EXPECT_NE(query.output.find("RUNNING"), std::string::npos) << query.output;
}

TEST(ServiceControl, ProcessLetsInteractiveUsersWaitOnItAndNothingMore) {
    // What lets each user's tool hold the service open instead of asking the
    // service control manager before every request.
    const auto status = service->Query();
    ASSERT_TRUE(status);
    qn38::win32::KernelHandle process(OpenProcess(READ_CONTROL, FALSE, status->dwProcessId));
    ASSERT_TRUE(process);
    PACL list = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    ASSERT_EQ(GetSecurityInfo(process.get(), SE_KERNEL_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr, &list,
                              nullptr, &descriptor),
              static_cast<DWORD>(ERROR_SUCCESS));
    const qn38::win32::LocalMemory owned(descriptor);
    BYTE interactive[SECURITY_MAX_SID_SIZE];
    DWORD size = sizeof interactive;
    ASSERT_TRUE(CreateWellKnownSid(WinInteractiveSid, nullptr, interactive, &size));
    std::vector<ACCESS_MASK> granted;
    for (DWORD i = 0; list != nullptr && i < list->AceCount; ++i) {
        ACCESS_ALLOWED_ACE* ace = nullptr;
        if (!GetAce(list, i, reinterpret_cast<void**>(&ace)) || ace->Header.AceType != ACCESS_ALLOWED_ACE_TYPE)
            continue;
        if (EqualSid(&ace->SidStart, interactive)) granted.push_back(ace->Mask);
    }
    EXPECT_EQ(granted, (std::vector<ACCESS_MASK>{SYNCHRONIZE}));
}

TEST(ServiceControl, StopDuringARequestLetsTheRequestFinish) {
    ASSERT_TRUE(CreateDriverKey());
    const auto client = RawClient::Connect(true);
    ASSERT_NE(client, nullptr);
    const auto stopping = service->Control(SERVICE_CONTROL_STOP);
    ASSERT_TRUE(stopping);
    EXPECT_EQ(stopping->dwCurrentState, static_cast<DWORD>(SERVICE_STOP_PENDING));

    ASSERT_TRUE(client->Send(Wire(SetSize(0x00500000))));
    const std::vector<std::uint8_t> reply = client->Receive(SERVICE_REQUEST_SIZE, HANG_BOUND_MS);
    ASSERT_EQ(reply.size(), SERVICE_REQUEST_SIZE);
    EXPECT_EQ(ServiceResult(DecodeServiceRequest(std::span<const std::uint8_t, SERVICE_REQUEST_SIZE>(reply))), 1);
    EXPECT_EQ(DriverValue(L"DefLen"), 0x00500000u);
    EXPECT_TRUE(service->WaitForState(SERVICE_STOPPED, HANG_BOUND_MS));
}

TEST(ServiceControl, ClientConnectingAsTheServiceStartsIsServed) {
    ASSERT_TRUE(service->WaitForState(SERVICE_STOPPED, HANG_BOUND_MS));
    ASSERT_TRUE(CreateDriverKey());
    // This client hammers the pipe's name while the service starts, so it is
    // likely to connect before the service's first listen.
    std::atomic<int> result{-1};
    std::thread early([&] {
        const auto client = RawClient::Connect(true, 20000);
        if (!client || !client->Send(Wire(SetSize(0x00600000)))) return;
        const std::vector<std::uint8_t> reply = client->Receive(SERVICE_REQUEST_SIZE, HANG_BOUND_MS);
        if (reply.size() == SERVICE_REQUEST_SIZE) {
            result = ServiceResult(DecodeServiceRequest(std::span<const std::uint8_t, SERVICE_REQUEST_SIZE>(reply)));
        }
    });
    EXPECT_TRUE(service->Start());
    early.join();
    EXPECT_EQ(result, 1);
    EXPECT_EQ(DriverValue(L"DefLen"), 0x00600000u);
    // The tool's client held the service's earlier process; the new one,
    // under a new process id, is confirmed and served.
    EXPECT_EQ(Client().RequestSetSize(0x00700000, 0, 0xEFFFFFFF), 1);
    EXPECT_EQ(DriverValue(L"DefLen"), 0x00700000u);
}

TEST(ServiceControl, RunOutsideTheServiceControlManagerItEndsCleanly) {
    const ProcessResult run = RunProcess(L"\"" + service->ExecutablePath() + L"\"", 60000);
    EXPECT_TRUE(run.finished);
    EXPECT_EQ(run.exitCode, 0u);
    EXPECT_TRUE(ServesAgainWithin(HANG_BOUND_MS));  // and the installed service was not disturbed
}

TEST(ServiceControl, StopReachesStoppedAndThePipeIsGone) {
    const ProcessResult stop = RunProcess(L"sc.exe stop QN38HotPlugService");
    EXPECT_TRUE(stop.finished);
    EXPECT_TRUE(service->WaitForState(SERVICE_STOPPED, HANG_BOUND_MS));
    qn38::win32::FileHandle pipe(
        CreateFileW(SERVICE_PIPE_NAME, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr));
    EXPECT_FALSE(pipe);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    EXPECT_EQ(Client().RequestAddFilter(), 0);
}

// A process that took the pipe's name while the service was stopped: it
// listens again after every client and counts the bytes it was sent.
class Impostor {
public:
    Impostor()
        : pipe_(CreateNamedPipeW(SERVICE_PIPE_NAME, PIPE_ACCESS_DUPLEX, PIPE_TYPE_BYTE | PIPE_WAIT, 1, 512, 512, 0,
                                 nullptr)),
          thread_([this] { Listen(); }) {}
    ~Impostor() {
        stop_ = true;
        // Wake the listen with one last connection of its own.
        qn38::win32::FileHandle wake(
            CreateFileW(SERVICE_PIPE_NAME, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr));
        thread_.join();
    }
    bool listening() const { return static_cast<bool>(pipe_); }
    int clients() const { return clients_; }
    int bytes() const { return bytes_; }

private:
    void Listen() {
        while (pipe_ && !stop_) {
            if (!ConnectNamedPipe(pipe_.get(), nullptr) && GetLastError() != ERROR_PIPE_CONNECTED) break;
            if (stop_) break;
            ++clients_;
            std::uint8_t record[SERVICE_REQUEST_SIZE];
            DWORD read = 0;
            while (ReadFile(pipe_.get(), record, sizeof record, &read, nullptr) && read > 0) bytes_ += read;
            DisconnectNamedPipe(pipe_.get());
        }
    }

    qn38::win32::FileHandle pipe_;
    std::atomic<bool> stop_{false};
    std::atomic<int> clients_{0};
    std::atomic<int> bytes_{0};
    std::thread thread_;
};

TEST(ServiceImpostor, ServerOnThePipeNameThatIsNotTheServiceIsSentNothing) {
    ASSERT_TRUE(service->WaitForState(SERVICE_STOPPED, HANG_BOUND_MS));
    Impostor impostor;
    ASSERT_TRUE(impostor.listening());
    EXPECT_EQ(Client().RequestSetStatus(5, 0, 0, 1), 0);
    // With no service process to compare with, the tool does not even
    // connect: the impostor never learns who the user is.
    EXPECT_EQ(impostor.clients(), 0);
    EXPECT_EQ(impostor.bytes(), 0);
}

TEST(ServiceImpostor, NameHeldByAnotherProcessStopsTheServiceWithTheReason) {
    ASSERT_TRUE(service->WaitForState(SERVICE_STOPPED, HANG_BOUND_MS));
    Impostor impostor;
    ASSERT_TRUE(impostor.listening());
    const ProcessResult start = RunProcess(L"sc.exe start QN38HotPlugService");
    EXPECT_TRUE(start.finished);
    std::optional<SERVICE_STATUS_PROCESS> status;
    const DWORD started = GetTickCount();
    do {
        status = service->Query();
        if (status && status->dwCurrentState == SERVICE_STOPPED && status->dwWin32ExitCode != 0) break;
        Sleep(100);
    } while (GetTickCount() - started < HANG_BOUND_MS);
    ASSERT_TRUE(status);
    EXPECT_EQ(status->dwCurrentState, static_cast<DWORD>(SERVICE_STOPPED));
    // Windows refuses the name for the first-instance flag (access denied);
    // Wine, which ignores that flag, for the instance limit (pipe busy).
    EXPECT_TRUE(status->dwWin32ExitCode == ERROR_ACCESS_DENIED || status->dwWin32ExitCode == ERROR_PIPE_BUSY)
        << status->dwWin32ExitCode;
    EXPECT_EQ(impostor.bytes(), 0);
}

}  // namespace
}  // namespace qn38::winetest
