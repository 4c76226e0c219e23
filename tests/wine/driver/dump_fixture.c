/* An emulated dump driver for the Wine tests: a test fixture, never shipped.
 *
 * It creates \Device\ZQDUMP (\DosDevices\ZQDUMP) and answers the library's
 * read and write requests from a register model of one slot bridge:
 * identity at 0x00, memory window at 0x20, Link Control and Link Status at
 * 0x50, Slot Control and Slot Status at 0x58 (Presence Detect State follows
 * the card) and the subsystem at 0x94. Every other bus reads as no function
 * (all ones) and ignores writes, like an empty PCI bus. The control codes of
 * dump_fixture_protocol.h let tests move the bridge, insert and pull the card
 * and read what was done to the registers. */
#include <ddk/wdm.h>

#include "dump_fixture_protocol.h"

#define IOCTL_READ_CONFIG 0x9C40243Cu
#define IOCTL_WRITE_CONFIG 0x9C402440u
#define PRESENCE_DETECT 0x00400000u
#define LINK_DISABLE 0x00000010u
#define NO_FUNCTION 0xFFFFFFFFu

static DumpFixtureState state;
static KSPIN_LOCK stateLock;
static PDEVICE_OBJECT dumpDevice;

static void ResetState(const DumpFixtureSlot* slot) {
    state.slot = *slot;
    state.slot.bus &= 0xFF;
    state.reads = 0;
    state.writes = 0;
    state.lastWriteOffset = 0;
    state.lastWriteValue = 0;
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
        case 0x20:
            return DUMP_FIXTURE_MEMORY_WINDOW;
        case 0x50:
            return slot->link;
        case 0x58:
            return slot->present ? PRESENCE_DETECT : 0;
        case 0x94:
            return slot->subsystem;
        default:
            return 0;
        }
    }
    /* The card's function answers below the slot only while its link is up. */
    if (slot->bus < 255 && bus == slot->bus + 1 && slot->present && !(slot->link & LINK_DISABLE)) {
        return offset == 0x00 ? DUMP_FIXTURE_CARD_ID : 0;
    }
    return NO_FUNCTION;
}

/* Called with the lock held. Only Link Control and Link Status are writable. */
static void WriteRegister(uint32_t bus, uint32_t offset, uint32_t value) {
    ++state.writes;
    state.lastWriteOffset = offset;
    state.lastWriteValue = value;
    if (bus == state.slot.bus && offset == 0x50) state.slot.link = value;
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

static NTSTATUS DispatchControl(PDEVICE_OBJECT device, PIRP irp) {
    (void)device;
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    const ULONG code = stack->Parameters.DeviceIoControl.IoControlCode;
    const ULONG inBytes = stack->Parameters.DeviceIoControl.InputBufferLength;
    const ULONG outBytes = stack->Parameters.DeviceIoControl.OutputBufferLength;
    uint8_t* buffer = (uint8_t*)irp->AssociatedIrp.SystemBuffer;
    NTSTATUS status = STATUS_INVALID_DEVICE_REQUEST;
    ULONG_PTR information = 0;
    KIRQL irql;

    KeAcquireSpinLock(&stateLock, &irql);
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
        state.slot.present = Get32(buffer) != 0;
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
    if (dumpDevice != NULL) IoDeleteDevice(dumpDevice);
    dumpDevice = NULL;
}

NTSTATUS WINAPI DriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registryPath) {
    (void)registryPath;
    UNICODE_STRING name;
    UNICODE_STRING link;
    RtlInitUnicodeString(&name, L"\\Device\\ZQDUMP");
    RtlInitUnicodeString(&link, L"\\DosDevices\\ZQDUMP");

    const DumpFixtureSlot initial = {5, DUMP_FIXTURE_SUBSYSTEM, 0, DUMP_FIXTURE_LINK_STATUS};
    KeInitializeSpinLock(&stateLock);
    ResetState(&initial);

    NTSTATUS status = IoCreateDevice(driver, 0, &name, 0x9C40, 0, FALSE, &dumpDevice);
    if (!NT_SUCCESS(status)) return status;
    status = IoCreateSymbolicLink(&link, &name);
    if (!NT_SUCCESS(status)) {
        IoDeleteDevice(dumpDevice);
        dumpDevice = NULL;
        return status;
    }
    driver->MajorFunction[IRP_MJ_CREATE] = DispatchCreateClose;
    driver->MajorFunction[IRP_MJ_CLOSE] = DispatchCreateClose;
    driver->MajorFunction[IRP_MJ_DEVICE_CONTROL] = DispatchControl;
    driver->DriverUnload = DriverUnload;
    return STATUS_SUCCESS;
}
