// What finding the slots and changing a link cost on a simulated PC of a
// realistic size: the time per call, and beside it the operations counted
// per call (device opens, control requests, device sets, property reads,
// re-enumerations), which are what the design promises.
#include <benchmark/benchmark.h>

#include <cstdint>

#include "lib/core/slot_control.h"
#include "lib/core/slot_status.h"
#include "sim/machine/sim_pc.h"
#include "sim/tool/sim_tray_tool.h"

namespace qn38 {
namespace {

constexpr std::uint8_t kBus = 5;
constexpr int kPciDevices = 60;

// 60 PCI devices in all: the adapter's three (root port, adapter function,
// slot bridge), the system disk's controller and ordinary ones.
struct Machine {
    Machine() {
        pc.AddSlot({.slotBus = kBus});
        pc.storage.AddSystemDisk();
        pc.devices.AddOrdinaryDevices(kPciDevices - 4);
    }
    sim::SimPc pc;
};

// "dump" counts the dump device's requests, "opens" every open tried (the
// dump device, disks and volumes).
void ReportPerCall(benchmark::State& state, sim::SimPc& pc, double callsPerIteration) {
    const auto perCall = [&](std::uint64_t count) {
        return benchmark::Counter(static_cast<double>(count) / callsPerIteration, benchmark::Counter::kAvgIterations);
    };
    const sim::Counters& counters = pc.counters();
    state.counters["dump"] = perCall(pc.devices.dump().requests.size());
    state.counters["opens"] = perCall(counters.opens + counters.failedOpens);
    state.counters["controls"] = perCall(counters.controls);
    state.counters["sets"] = perCall(counters.deviceSets);
    state.counters["props"] = perCall(counters.propertyReads);
    state.counters["reenum"] = perCall(counters.reenumerations);
    state.counters["volumeLists"] = perCall(counters.volumeLists);
    state.counters["sizes"] = perCall(counters.sizeQueries);
    state.counters["removals"] = perCall(counters.queryRemoves + counters.ejects);
    state.counters["flushes"] = perCall(counters.flushes);
}

// The tool's start-up: ZQ_GetStatus for every bus 0 to 255. Counters are per
// ZQ_GetStatus call.
void Discover(benchmark::State& state, bool dumpDevice, bool askPresence) {
    Machine machine;
    machine.pc.devices.dump().installed = dumpDevice;
    machine.pc.counters() = {};
    machine.pc.devices.dump().requests.clear();
    for (auto _ : state) {
        int found = 0;
        for (std::uint32_t bus = 0; bus < 256; ++bus) {
            std::uint32_t present = 0;
            found += GetStatus(machine.pc.platform(), bus, askPresence ? &present : nullptr);
        }
        benchmark::DoNotOptimize(found);
    }
    ReportPerCall(state, machine.pc, 256);
}

void BM_DiscoveryWithDumpDevice(benchmark::State& state) { Discover(state, true, true); }
void BM_DiscoveryWithoutDumpDevice(benchmark::State& state) { Discover(state, false, true); }
void BM_DiscoveryWithoutDumpDeviceFromTheTree(benchmark::State& state) { Discover(state, false, false); }
BENCHMARK(BM_DiscoveryWithDumpDevice)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_DiscoveryWithoutDumpDevice)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_DiscoveryWithoutDumpDeviceFromTheTree)->Unit(benchmark::kMicrosecond);

// The poller's call for a slot whose link is already as it should be: up
// for a card with a device, down for an empty slot.
void IdleSetStatus(benchmark::State& state, std::uint32_t linkEnable) {
    Machine machine;
    if (linkEnable == 0) SetStatus(machine.pc.platform(), kBus, 0, 0, 0);
    machine.pc.counters() = {};
    machine.pc.devices.dump().requests.clear();
    for (auto _ : state) benchmark::DoNotOptimize(SetStatus(machine.pc.platform(), kBus, 0, linkEnable, 0));
    ReportPerCall(state, machine.pc, 1);
}
void BM_IdleSetStatus(benchmark::State& state) { IdleSetStatus(state, 1); }
void BM_IdleSetStatusEmptySlot(benchmark::State& state) { IdleSetStatus(state, 0); }
BENCHMARK(BM_IdleSetStatus)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_IdleSetStatusEmptySlot)->Unit(benchmark::kMicrosecond);

// A stop with the volume test over a card with two volumes, then the start
// that brings the card back. Counters are per ZQ_SetStatus call.
void BM_StopAndStartWithCard(benchmark::State& state) {
    Machine machine;
    auto& slot = machine.pc.slot(kBus);
    slot.InsertCard({.disks = {{.volumes = {{'E', 32 * sim::GIB}, {'F', 0}}}}});
    SetStatus(machine.pc.platform(), kBus, 0, 1, 0);
    machine.pc.counters() = {};
    machine.pc.devices.dump().requests.clear();
    for (auto _ : state) {
        benchmark::DoNotOptimize(SetStatus(machine.pc.platform(), kBus, 0, 0, 1));
        benchmark::DoNotOptimize(SetStatus(machine.pc.platform(), kBus, 0, 1, 0));
    }
    if (!slot.CardDevice()) state.SkipWithError("the card did not come back");
    ReportPerCall(state, machine.pc, 2);
}
BENCHMARK(BM_StopAndStartWithCard)->Unit(benchmark::kMicrosecond);

// One pass of the poller over one slot without change, as the tool makes it
// (its presence read, its device query and whatever request it sends),
// against the pass of the earlier design, which re-sent the link's state
// (bus, 0, 1, 0) or (bus, 0, 0, 0) through the service on every pass.
// Counters are per pass; "requests" counts service requests.
void PollPass(benchmark::State& state, bool card) {
    sim::SimPc pc;
    pc.AddSlot({.slotBus = kBus, .rootPortFilters = std::vector<std::u16string>{u"QN38UP"}});
    pc.storage.AddSystemDisk();
    pc.devices.AddOrdinaryDevices(kPciDevices - 4);
    if (card) pc.slot(kBus).InsertCard();
    sim::SimTrayTool tool(pc);
    if (!tool.Start() || !tool.AwaitPollerAtRest() || !tool.RunPollerPasses(2)) {
        return state.SkipWithError("the tool did not start");
    }
    pc.counters() = {};
    pc.devices.dump().requests.clear();
    const auto before = tool.Mark();
    for (auto _ : state) {
        if (!tool.RunPollerPasses(1)) return state.SkipWithError("the pass did not end");
    }
    ReportPerCall(state, pc, 1);
    state.counters["requests"] =
        benchmark::Counter(static_cast<double>(tool.RequestsSince(before).size()), benchmark::Counter::kAvgIterations);
}

void EarlierPollPass(benchmark::State& state, bool card) {
    Machine machine;
    if (card) machine.pc.slot(kBus).InsertCard();
    SetStatus(machine.pc.platform(), kBus, 0, card ? 1 : 0, 0);
    machine.pc.counters() = {};
    machine.pc.devices.dump().requests.clear();
    for (auto _ : state) {
        std::uint32_t present = 0;
        GetStatus(machine.pc.platform(), kBus, &present);
        const int exists = GetCardInfo(machine.pc.platform(), kBus, nullptr, 0, nullptr, nullptr);
        benchmark::DoNotOptimize(SetStatus(machine.pc.platform(), kBus, 0, exists != 0 ? 1 : 0, 0));
    }
    ReportPerCall(state, machine.pc, 1);
    state.counters["requests"] = 1;
}

void BM_PollPassRunningCard(benchmark::State& state) { PollPass(state, true); }
void BM_PollPassEmptySlot(benchmark::State& state) { PollPass(state, false); }
void BM_EarlierPollPassRunningCard(benchmark::State& state) { EarlierPollPass(state, true); }
void BM_EarlierPollPassEmptySlot(benchmark::State& state) { EarlierPollPass(state, false); }
BENCHMARK(BM_PollPassRunningCard)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_PollPassEmptySlot)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_EarlierPollPassRunningCard)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_EarlierPollPassEmptySlot)->Unit(benchmark::kMicrosecond);

}  // namespace
}  // namespace qn38
