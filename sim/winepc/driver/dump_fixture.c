/* An emulated dump driver for the Wine tests: a test fixture, never shipped.
 *
 * It creates \Device\ZQDUMP (\DosDevices\ZQDUMP) and answers the library's
 * read and write requests from a register model of one slot bridge:
 * identity at 0x00, memory window at 0x20, Link Control and Link Status at
 * 0x50, Slot Control and Slot Status at 0x58 (Presence Detect State follows
 * the card) and the subsystem at 0x94. Every other bus reads as no function
 * (all ones) and ignores writes, like an empty PCI bus. The control codes of
 * dump_fixture_protocol.h let tests move the bridge, insert and pull the card
 * and read what was done to the registers.
 *
 * The same state is the Plug and Play side of the machine that the emulated
 * setupapi.dll and cfgmgr32.dll show (sim/winepc): the card's devnode
 * exists below the slot bridge only while a card is in and the link is up,
 * and appears when the bus is enumerated again, once the card answers: the
 * link trains first (Data Link Layer Link Active in Link Status), then the
 * card may ask for its configuration reads to be retried for a while. As
 * Windows' PCI bus driver does, a scan that comes too early finds nothing,
 * and nothing scans again by itself. A card may be given a linger, the time
 * its devnodes stay after its link went down, a problem code its devnode
 * comes up with, and a driver install, the time before its devnode starts.
 * Those DLLs reach it through \Device\QN38PNP.
 *
 * While the card's devnode exists and has no problem its disk answers too,
 * through the path of its interface.
 *
 * Plug and Play's removal of the card's devices is modelled as Windows does
 * it: a query-remove (or an eject) that a program's open handle on the card
 * vetoes, and otherwise takes the disk away and leaves the card's devnode
 * removed but present, held for eject, until the card leaves or its hold is
 * reset and the bus enumerated again. A card whose function leaves the bus
 * while a handle is open keeps its devnode, its removal pending, until the
 * last handle closes. */
#include <ddk/wdm.h>

#include "sim/winepc/driver/dump_fixture_protocol.h"

#define IOCTL_READ_CONFIG 0x9C40243Cu
#define IOCTL_WRITE_CONFIG 0x9C402440u
#define PRESENCE_DETECT 0x00400000u
#define LINK_DISABLE 0x00000010u
#define NO_FUNCTION 0xFFFFFFFFu
#define LINK_ACTIVE 0x20000000u
/* Link Capabilities: 2.5 GT/s x1, Data Link Layer Link Active reported. */
#define LINK_CAPABILITIES 0x00100011u
/* A Vendor ID read while the card asks for a retry. */
#define CARD_RETRY_ID 0xFFFF0001u

#define DICS_ENABLE 1u
#define DICS_DISABLE 2u
#define DICS_PROPCHANGE 3u
#define DICS_START 4u
#define DICS_STOP 5u

static DumpFixtureState state;
static DumpFixtureMachine machine;
static uint32_t filterBytes[DUMP_FIXTURE_NODES + 1];
static uint8_t filters[DUMP_FIXTURE_NODES + 1][DUMP_FIXTURE_FILTER_BYTES];
/* Since the card went in: what the slot has seen happen to it. */
static int linkWentDown;
static int linkCycled;
static int devicesDisabled;
static int devicesCycled;
static LONGLONG linkUpAt; /* in milliseconds */
static LONGLONG leavesAt; /* nonzero: when the card's devnodes leave, in milliseconds */
static LONGLONG startsAt; /* nonzero: when the card's devnode starts after its driver install */
static KSPIN_LOCK stateLock;
static PDEVICE_OBJECT dumpDevice;
static PDEVICE_OBJECT pnpDevice;
static PDEVICE_OBJECT diskDevice;

#define IOCTL_STORAGE_GET_DEVICE_NUMBER 0x002D1080u

static const uint16_t DEFAULT_CARD_NAME[] = u"ExpressCard SATA Controller";

static LONGLONG Milliseconds(void) {
    LARGE_INTEGER frequency;
    const LARGE_INTEGER now = KeQueryPerformanceCounter(&frequency);
    return frequency.QuadPart > 0 ? now.QuadPart * 1000 / frequency.QuadPart : 0;
}

static int LinkDisabled(void) { return (state.slot.link & LINK_DISABLE) != 0; }

static void RemoveCard(void) {
    machine.cardDevnode = 0;
    machine.pending = 0;
    machine.installing = 0;
    machine.cardRemoved = 0;
    machine.cardNoRestart = 0;
    machine.cardHandles = 0;
    machine.cardGone = 0;
    leavesAt = 0;
    startsAt = 0;
}

static void ResetState(const DumpFixtureSlot* slot) {
    state.slot = *slot;
    state.slot.bus &= 0xFF;
    state.reads = 0;
    state.writes = 0;
    state.lastWriteOffset = 0;
    state.lastWriteValue = 0;
    RemoveCard();
    machine.disabled = 0;
    machine.deferStops = 0;
    linkWentDown = LinkDisabled();
    linkCycled = devicesDisabled = devicesCycled = 0;
    linkUpAt = Milliseconds();
}

static void InsertCard(const DumpFixtureCard* card) {
    RemoveCard();
    state.slot.present = 1;
    machine.card = *card;
    machine.card.name[DUMP_FIXTURE_NAME_UNITS - 1] = 0;
    /* A card that goes into a slot whose link is down sees it come up for
     * the first time when the link is enabled. */
    linkWentDown = LinkDisabled();
    linkCycled = devicesDisabled = devicesCycled = 0;
    linkUpAt = Milliseconds();
}

/* The card's function has left the bus. Its devnode goes with it, after
 * the card's linger when `lingers`, unless a program holds it open: then it
 * stays, its removal pending, until the last handle closes. */
static void CardLeaves(int lingers) {
    if (machine.cardDevnode && machine.cardHandles != 0) {
        machine.cardGone = 1;
        leavesAt = 0;
    } else if (lingers && machine.cardDevnode && machine.card.lingerMs != 0) {
        leavesAt = Milliseconds() + machine.card.lingerMs;
    } else {
        RemoveCard();
    }
}

static void PullCard(void) {
    state.slot.present = 0;
    CardLeaves(0);
}

/* The devnodes above the card, whose removal, stop or scan reaches it. */
static int AboveCard(uint32_t devnode) {
    return devnode == DUMP_FIXTURE_NODE_ROOT || devnode == DUMP_FIXTURE_NODE_PCI_BUS ||
           devnode == DUMP_FIXTURE_NODE_ROOT_PORT || devnode == DUMP_FIXTURE_NODE_SLOT_BRIDGE;
}

static int SlotBridgeRunning(void) {
    const uint32_t stopped = 1u << DUMP_FIXTURE_NODE_ROOT_PORT | 1u << DUMP_FIXTURE_NODE_SLOT_BRIDGE;
    return (machine.disabled & stopped) == 0;
}

static int LinkTrained(void) {
    return state.slot.present && !LinkDisabled() && Milliseconds() - linkUpAt >= (LONGLONG)machine.card.trainingMs;
}

static int CardAnswers(void) {
    return LinkTrained() &&
           Milliseconds() - linkUpAt >= (LONGLONG)machine.card.trainingMs + (LONGLONG)machine.card.answersMs;
}

/* The bus driver's look at the slot's bus: it finds the card only if the
 * card answers now. */
static void EnumerateSlot(void) {
    if (machine.cardDevnode || !SlotBridgeRunning() || !CardAnswers()) return;
    if (machine.card.needs == DUMP_FIXTURE_NEEDS_LINK_CYCLE && !linkCycled) return;
    if (machine.card.needs == DUMP_FIXTURE_NEEDS_DEVICE_CYCLE && !devicesCycled) return;
    machine.cardDevnode = 1;
    machine.cardKnown = 1;
    if (machine.card.problem == 0 && machine.card.installsMs != 0) {
        machine.installing = 1;
        startsAt = Milliseconds() + machine.card.installsMs;
    }
}

/* The devnodes of a card whose link went down leave once their stacks have
 * closed, and a card's driver install ends when its time has passed. */
static void Settle(void) {
    if (leavesAt != 0 && Milliseconds() >= leavesAt) CardLeaves(0);
    if (startsAt != 0 && Milliseconds() >= startsAt) {
        startsAt = 0;
        machine.installing = 0;
    }
}

static void Reenumerate(uint32_t devnode) {
    ++machine.enumerations;
    if (AboveCard(devnode)) EnumerateSlot();
    /* A removed card whose hold was reset starts again at the next scan that
     * reaches it, if its function is still on the bus. */
    if ((AboveCard(devnode) || devnode == DUMP_FIXTURE_NODE_CARD) && machine.cardRemoved && !machine.cardNoRestart &&
        !machine.cardGone && leavesAt == 0 && CardAnswers()) {
        machine.cardRemoved = 0;
    }
}

/* CM_Query_And_Remove_SubTree and CM_Request_Device_Eject: everyone below
 * the devnode is asked first, and a handle open on the card refuses. */
static uint32_t RemoveSubtree(uint32_t devnode, uint32_t keep, uint32_t* vetoedBy) {
    *vetoedBy = 0;
    const int reachesCard = devnode == DUMP_FIXTURE_NODE_CARD || AboveCard(devnode);
    if (reachesCard && machine.cardDevnode && machine.cardHandles != 0) {
        *vetoedBy = DUMP_FIXTURE_NODE_CARD;
        return DUMP_FIXTURE_REMOVAL_VETOED;
    }
    if (devnode != DUMP_FIXTURE_NODE_CARD || !machine.cardDevnode) return DUMP_FIXTURE_REMOVAL_UNMODELLED;
    machine.cardRemoved = 1;
    if (keep) machine.cardNoRestart = 1;
    machine.installing = 0;
    startsAt = 0;
    return DUMP_FIXTURE_REMOVAL_GRANTED;
}

/* A program opens a handle on the card's device, which must be started, or
 * closes one; a devnode whose function has gone leaves with the last. */
static NTSTATUS HoldCard(uint32_t open) {
    if (open) {
        const int started = machine.cardDevnode && !machine.cardRemoved && !machine.cardGone && leavesAt == 0 &&
                            machine.card.problem == 0 && !machine.installing;
        if (!started) return STATUS_NO_SUCH_DEVICE;
        ++machine.cardHandles;
        return STATUS_SUCCESS;
    }
    if (machine.cardHandles == 0) return STATUS_INVALID_DEVICE_STATE;
    if (--machine.cardHandles == 0 && machine.cardGone) RemoveCard();
    return STATUS_SUCCESS;
}

/* What the class installer's DIF_PROPERTYCHANGE does to a devnode: disabling
 * and stopping (DICS_STOP: unloaded, not started again until DICS_START)
 * stop it and take its children away, enabling and starting start it,
 * DICS_PROPCHANGE does both, and a bridge that starts enumerates its bus.
 * Returns nonzero when the device could not be stopped now and the change
 * waits for the next boot (the installer then says DI_NEEDRESTART). */
static int ChangeState(uint32_t devnode, uint32_t change) {
    const uint32_t bit = 1u << devnode;
    const int aboveCard = devnode == DUMP_FIXTURE_NODE_ROOT_PORT || devnode == DUMP_FIXTURE_NODE_SLOT_BRIDGE;
    const int stops = change == DICS_DISABLE || change == DICS_STOP || change == DICS_PROPCHANGE;
    ++machine.stateChanges;
    if (stops && machine.deferStops != 0) {
        --machine.deferStops;
        return 1;
    }
    /* The installer's query-remove of the stack meets the card's open handle. */
    if (stops && aboveCard && machine.cardDevnode && machine.cardHandles != 0) return 1;
    if (stops) {
        machine.disabled |= bit;
        if (aboveCard) {
            RemoveCard();
            if (state.slot.present) devicesDisabled = 1;
        }
    }
    if (change == DICS_ENABLE || change == DICS_START || change == DICS_PROPCHANGE) {
        machine.disabled &= ~bit;
        if (aboveCard) {
            if (devicesDisabled) devicesCycled = 1;
            EnumerateSlot();
        }
    }
    return 0;
}

static uint32_t Get32(const uint8_t* bytes) {
    return (uint32_t)bytes[0] | (uint32_t)bytes[1] << 8 | (uint32_t)bytes[2] << 16 | (uint32_t)bytes[3] << 24;
}

static void Put32(uint8_t* bytes, uint32_t value) {
    bytes[0] = (uint8_t)value;
    bytes[1] = (uint8_t)(value >> 8);
    bytes[2] = (uint8_t)(value >> 16);
    bytes[3] = (uint8_t)(value >> 24);
}

/* Called with the lock held. */
static uint32_t ReadRegister(uint32_t bus, uint32_t offset) {
    const DumpFixtureSlot* slot = &state.slot;
    if (bus == slot->bus) {
        switch (offset) {
        case 0x00:
            return DUMP_FIXTURE_BRIDGE_ID;
        case 0x18: {
            /* Primary, secondary and subordinate bus: the card's is the next. */
            const uint32_t below = (slot->bus + 1) & 0xFF;
            return below << 16 | below << 8 | slot->bus;
        }
        case 0x20:
            return DUMP_FIXTURE_MEMORY_WINDOW;
        case 0x4C:
            return LINK_CAPABILITIES;
        case 0x50:
            return LinkTrained() ? slot->link | LINK_ACTIVE : slot->link & ~LINK_ACTIVE;
        case 0x58:
            return slot->present ? PRESENCE_DETECT : 0;
        case 0x94:
            return slot->subsystem;
        default:
            return 0;
        }
    }
    /* The card's function is reached below the slot once its link has
     * trained, and answers once it is ready. */
    if (slot->bus < 255 && bus == slot->bus + 1 && LinkTrained()) {
        if (!CardAnswers()) return offset == 0x00 ? CARD_RETRY_ID : 0;
        return offset == 0x00 ? DUMP_FIXTURE_CARD_ID : 0;
    }
    return NO_FUNCTION;
}

/* Called with the lock held. Only Link Control is writable. */
static void WriteRegister(uint32_t bus, uint32_t offset, uint32_t value) {
    ++state.writes;
    state.lastWriteOffset = offset;
    state.lastWriteValue = value;
    if (bus != state.slot.bus || offset != 0x50) return;
    const int wasDisabled = LinkDisabled();
    /* Link Status, the high half, is the hardware's: a write changes Link Control only. */
    state.slot.link = (state.slot.link & 0xFFFF0000u) | (value & 0xFFFFu);
    if (LinkDisabled() && !wasDisabled) {
        /* The card's function leaves the bus with the link; its devnodes
         * may take a while to follow. */
        if (state.slot.present) linkWentDown = 1;
        CardLeaves(1);
    } else if (!LinkDisabled() && wasDisabled) {
        /* The function is back before its devnodes left: they stay. */
        leavesAt = 0;
        ++machine.linkEnables;
        if (state.slot.present && linkWentDown) linkCycled = 1;
        linkUpAt = Milliseconds();
    }
}

static NTSTATUS Complete(PIRP irp, NTSTATUS status, ULONG_PTR information) {
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = information;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

static NTSTATUS DispatchCreateClose(PDEVICE_OBJECT device, PIRP irp) {
    (void)device;
    return Complete(irp, STATUS_SUCCESS, 0);
}

/* The disk's one request; called with the lock held. */
static NTSTATUS DiskControl(PIO_STACK_LOCATION stack, uint8_t* buffer, ULONG_PTR* information) {
    if (stack->Parameters.DeviceIoControl.IoControlCode != IOCTL_STORAGE_GET_DEVICE_NUMBER) {
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    ++machine.diskQueries;
    /* Only a started card has its disk. */
    if (!machine.cardDevnode || machine.card.problem != 0 || machine.installing || machine.cardRemoved ||
        machine.cardGone || leavesAt != 0) {
        return STATUS_NO_SUCH_DEVICE;
    }
    if (buffer == NULL || stack->Parameters.DeviceIoControl.OutputBufferLength < 12) return STATUS_BUFFER_TOO_SMALL;
    Put32(buffer, 7); /* FILE_DEVICE_DISK */
    Put32(buffer + 4, DUMP_FIXTURE_DISK_NUMBER);
    Put32(buffer + 8, 0);
    *information = 12;
    return STATUS_SUCCESS;
}

static NTSTATUS DispatchControl(PDEVICE_OBJECT device, PIRP irp) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    const ULONG code = stack->Parameters.DeviceIoControl.IoControlCode;
    const ULONG inBytes = stack->Parameters.DeviceIoControl.InputBufferLength;
    const ULONG outBytes = stack->Parameters.DeviceIoControl.OutputBufferLength;
    uint8_t* buffer = (uint8_t*)irp->AssociatedIrp.SystemBuffer;
    NTSTATUS status = STATUS_INVALID_DEVICE_REQUEST;
    ULONG_PTR information = 0;
    KIRQL irql;

    KeAcquireSpinLock(&stateLock, &irql);
    if (device == pnpDevice) ++machine.pnpRequests;
    if (device == diskDevice) {
        status = DiskControl(stack, buffer, &information);
        KeReleaseSpinLock(&stateLock, irql);
        return Complete(irp, status, information);
    }
    switch (code) {
    case IOCTL_READ_CONFIG:
        if (buffer == NULL || inBytes < 8 || outBytes < 4) {
            status = STATUS_INVALID_PARAMETER;
            break;
        }
        ++state.reads;
        Put32(buffer, ReadRegister(buffer[0], buffer[1]));
        status = STATUS_SUCCESS;
        information = 4;
        break;
    case IOCTL_WRITE_CONFIG:
        if (buffer == NULL || inBytes < 8) {
            status = STATUS_INVALID_PARAMETER;
            break;
        }
        WriteRegister(buffer[0], buffer[1], Get32(buffer + 4));
        status = STATUS_SUCCESS;
        break;
    case DUMP_FIXTURE_SET_SLOT:
        if (buffer == NULL || inBytes < sizeof(DumpFixtureSlot)) {
            status = STATUS_INVALID_PARAMETER;
            break;
        }
        {
            DumpFixtureSlot slot;
            slot.bus = Get32(buffer);
            slot.subsystem = Get32(buffer + 4);
            slot.present = Get32(buffer + 8);
            slot.link = Get32(buffer + 12);
            ResetState(&slot);
        }
        status = STATUS_SUCCESS;
        break;
    case DUMP_FIXTURE_SET_CARD:
        if (buffer == NULL || inBytes < 4) {
            status = STATUS_INVALID_PARAMETER;
            break;
        }
        if (Get32(buffer) != 0) {
            DumpFixtureCard card;
            RtlZeroMemory(&card, sizeof card);
            RtlCopyMemory(card.name, DEFAULT_CARD_NAME, sizeof DEFAULT_CARD_NAME);
            InsertCard(&card);
        } else {
            PullCard();
        }
        status = STATUS_SUCCESS;
        break;
    case DUMP_FIXTURE_INSERT_CARD:
        if (buffer == NULL || inBytes < sizeof(DumpFixtureCard)) {
            status = STATUS_INVALID_PARAMETER;
            break;
        }
        {
            DumpFixtureCard card;
            RtlCopyMemory(&card, buffer, sizeof card);
            InsertCard(&card);
        }
        status = STATUS_SUCCESS;
        break;
    case DUMP_FIXTURE_GET_MACHINE:
        if (buffer == NULL || outBytes < sizeof(DumpFixtureMachine)) {
            status = STATUS_BUFFER_TOO_SMALL;
            break;
        }
        Settle();
        machine.slot = state.slot;
        machine.leavingMs = leavesAt != 0 ? (uint32_t)(leavesAt - Milliseconds()) : 0;
        RtlCopyMemory(buffer, &machine, sizeof machine);
        status = STATUS_SUCCESS;
        information = sizeof(DumpFixtureMachine);
        break;
    case DUMP_FIXTURE_REENUMERATE:
    case DUMP_FIXTURE_STATE_CHANGE:
        if (buffer == NULL || inBytes < (code == DUMP_FIXTURE_REENUMERATE ? 4u : 8u) || Get32(buffer) == 0 ||
            Get32(buffer) > DUMP_FIXTURE_NODES) {
            status = STATUS_INVALID_PARAMETER;
            break;
        }
        Settle();
        if (code == DUMP_FIXTURE_REENUMERATE) {
            Reenumerate(Get32(buffer));
        } else {
            const int deferred = ChangeState(Get32(buffer), Get32(buffer + 4));
            if (outBytes >= 4) {
                Put32(buffer, (uint32_t)deferred);
                information = 4;
            }
        }
        status = STATUS_SUCCESS;
        break;
    case DUMP_FIXTURE_REMOVE_SUBTREE:
        if (buffer == NULL || inBytes < 8 || outBytes < 8) {
            status = STATUS_INVALID_PARAMETER;
            break;
        }
        Settle();
        {
            uint32_t vetoedBy = 0;
            const uint32_t result = RemoveSubtree(Get32(buffer), Get32(buffer + 4), &vetoedBy);
            Put32(buffer, result);
            Put32(buffer + 4, vetoedBy);
        }
        status = STATUS_SUCCESS;
        information = 8;
        break;
    case DUMP_FIXTURE_RESET_DEVNODE:
        if (buffer == NULL || inBytes < 4) {
            status = STATUS_INVALID_PARAMETER;
            break;
        }
        if (Get32(buffer) == DUMP_FIXTURE_NODE_CARD) machine.cardNoRestart = 0;
        status = STATUS_SUCCESS;
        break;
    case DUMP_FIXTURE_HOLD_CARD:
        if (buffer == NULL || inBytes < 4) {
            status = STATUS_INVALID_PARAMETER;
            break;
        }
        Settle();
        status = HoldCard(Get32(buffer));
        break;
    case DUMP_FIXTURE_DEFER_STOPS:
        if (buffer == NULL || inBytes < 4) {
            status = STATUS_INVALID_PARAMETER;
            break;
        }
        machine.deferStops = Get32(buffer);
        status = STATUS_SUCCESS;
        break;
    case DUMP_FIXTURE_GET_FILTERS:
        if (buffer == NULL || inBytes < 4 || outBytes < sizeof(DumpFixtureFilters) || Get32(buffer) == 0 ||
            Get32(buffer) > DUMP_FIXTURE_NODES) {
            status = STATUS_INVALID_PARAMETER;
            break;
        }
        {
            const uint32_t devnode = Get32(buffer);
            DumpFixtureFilters* out = (DumpFixtureFilters*)buffer;
            out->bytes = filterBytes[devnode];
            RtlZeroMemory(out->data, sizeof out->data);
            if (filterBytes[devnode] != DUMP_FIXTURE_NO_VALUE) {
                RtlCopyMemory(out->data, filters[devnode], filterBytes[devnode]);
            }
        }
        status = STATUS_SUCCESS;
        information = sizeof(DumpFixtureFilters);
        break;
    case DUMP_FIXTURE_SET_FILTERS:
        if (buffer == NULL || inBytes < sizeof(DumpFixtureFilters)) {
            status = STATUS_INVALID_PARAMETER;
            break;
        }
        {
            const DumpFixtureFilters* in = (const DumpFixtureFilters*)buffer;
            if (in->devnode == 0 || in->devnode > DUMP_FIXTURE_NODES ||
                (in->bytes != DUMP_FIXTURE_NO_VALUE && in->bytes > DUMP_FIXTURE_FILTER_BYTES)) {
                status = STATUS_INVALID_PARAMETER;
                break;
            }
            filterBytes[in->devnode] = in->bytes;
            if (in->bytes != DUMP_FIXTURE_NO_VALUE) RtlCopyMemory(filters[in->devnode], in->data, in->bytes);
        }
        status = STATUS_SUCCESS;
        break;
    case DUMP_FIXTURE_GET_STATE:
        if (buffer == NULL || outBytes < sizeof(DumpFixtureState)) {
            status = STATUS_BUFFER_TOO_SMALL;
            break;
        }
        Put32(buffer, state.slot.bus);
        Put32(buffer + 4, state.slot.subsystem);
        Put32(buffer + 8, state.slot.present);
        Put32(buffer + 12, state.slot.link);
        Put32(buffer + 16, state.reads);
        Put32(buffer + 20, state.writes);
        Put32(buffer + 24, state.lastWriteOffset);
        Put32(buffer + 28, state.lastWriteValue);
        status = STATUS_SUCCESS;
        information = sizeof(DumpFixtureState);
        break;
    default:
        break;
    }
    KeReleaseSpinLock(&stateLock, irql);
    return Complete(irp, status, information);
}

static void DriverUnload(PDRIVER_OBJECT driver) {
    (void)driver;
    UNICODE_STRING link;
    RtlInitUnicodeString(&link, L"\\DosDevices\\ZQDUMP");
    IoDeleteSymbolicLink(&link);
    RtlInitUnicodeString(&link, L"\\DosDevices\\QN38PNP");
    IoDeleteSymbolicLink(&link);
    RtlInitUnicodeString(&link, L"\\DosDevices\\" DUMP_FIXTURE_DISK_LINK);
    IoDeleteSymbolicLink(&link);
    PDEVICE_OBJECT* devices[] = {&dumpDevice, &pnpDevice, &diskDevice};
    for (unsigned i = 0; i < sizeof devices / sizeof devices[0]; ++i) {
        if (*devices[i] != NULL) IoDeleteDevice(*devices[i]);
        *devices[i] = NULL;
    }
}

/* A device with its \DosDevices link, or an error with nothing left behind. */
static NTSTATUS CreateDevice(PDRIVER_OBJECT driver, const wchar_t* name, const wchar_t* linkName,
                             PDEVICE_OBJECT* device) {
    UNICODE_STRING deviceName;
    UNICODE_STRING link;
    RtlInitUnicodeString(&deviceName, name);
    RtlInitUnicodeString(&link, linkName);
    NTSTATUS status = IoCreateDevice(driver, 0, &deviceName, 0x9C40, 0, FALSE, device);
    if (!NT_SUCCESS(status)) return status;
    status = IoCreateSymbolicLink(&link, &deviceName);
    if (!NT_SUCCESS(status)) {
        IoDeleteDevice(*device);
        *device = NULL;
    }
    return status;
}

NTSTATUS WINAPI DriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registryPath) {
    (void)registryPath;
    const DumpFixtureSlot initial = {5, DUMP_FIXTURE_SUBSYSTEM, 0, DUMP_FIXTURE_LINK_STATUS};
    KeInitializeSpinLock(&stateLock);
    ResetState(&initial);
    for (uint32_t node = 0; node <= DUMP_FIXTURE_NODES; ++node) filterBytes[node] = DUMP_FIXTURE_NO_VALUE;
    RtlCopyMemory(machine.card.name, DEFAULT_CARD_NAME, sizeof DEFAULT_CARD_NAME);

    NTSTATUS status = CreateDevice(driver, L"\\Device\\ZQDUMP", L"\\DosDevices\\ZQDUMP", &dumpDevice);
    if (!NT_SUCCESS(status)) return status;
    status = CreateDevice(driver, L"\\Device\\QN38PNP", L"\\DosDevices\\QN38PNP", &pnpDevice);
    if (NT_SUCCESS(status)) {
        status = CreateDevice(driver, L"\\Device\\QN38DISK", L"\\DosDevices\\" DUMP_FIXTURE_DISK_LINK, &diskDevice);
    }
    if (!NT_SUCCESS(status)) {
        DriverUnload(driver);
        return status;
    }
    driver->MajorFunction[IRP_MJ_CREATE] = DispatchCreateClose;
    driver->MajorFunction[IRP_MJ_CLOSE] = DispatchCreateClose;
    driver->MajorFunction[IRP_MJ_DEVICE_CONTROL] = DispatchControl;
    driver->DriverUnload = DriverUnload;
    return STATUS_SUCCESS;
}
