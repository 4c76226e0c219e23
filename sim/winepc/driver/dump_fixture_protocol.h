/* The emulated dump driver's test controls, shared by the driver (C) and the
 * Windows test programs (C++). The driver answers the library's two control
 * codes from a register model of one slot bridge; these extra codes let a
 * test put that bridge on a bus, give it another subsystem ID, insert and
 * pull the card, and read what the library did to it. */
#ifndef QN38_DUMP_FIXTURE_PROTOCOL_H
#define QN38_DUMP_FIXTURE_PROTOCOL_H

#include <stdint.h>

/* Device type 0x9C40, METHOD_BUFFERED, FILE_ANY_ACCESS, functions well away
 * from the library's 0x90F and 0x910. */
#define DUMP_FIXTURE_SET_SLOT 0x9C402800u  /* in: DumpFixtureSlot; resets the counters */
#define DUMP_FIXTURE_GET_STATE 0x9C402804u /* out: DumpFixtureState */
#define DUMP_FIXTURE_SET_CARD 0x9C402808u  /* in: uint32_t, nonzero inserts the card, 0 pulls it */

/* Register values of the modelled bridge after a reset. */
#define DUMP_FIXTURE_BRIDGE_ID 0x02E31217u
#define DUMP_FIXTURE_SUBSYSTEM 0x3A5C0E71u
#define DUMP_FIXTURE_LINK_STATUS 0x10110000u /* Link Status half at 0x50: link up, 2.5 GT/s x1 */
#define DUMP_FIXTURE_MEMORY_WINDOW 0xE000E000u
#define DUMP_FIXTURE_CARD_ID 0x2363197Bu /* the card's function on the bus below the slot */

typedef struct DumpFixtureSlot {
    uint32_t bus;       /* the bridge answers on this bus only (0 to 255) */
    uint32_t subsystem; /* value at 0x94 */
    uint32_t present;   /* nonzero: a card sits in the slot (Presence Detect State at 0x58) */
    uint32_t link;      /* the whole value at 0x50 */
} DumpFixtureSlot;

typedef struct DumpFixtureState {
    DumpFixtureSlot slot;
    uint32_t reads;  /* read requests answered since the last DUMP_FIXTURE_SET_SLOT */
    uint32_t writes; /* write requests taken, on any bus */
    uint32_t lastWriteOffset;
    uint32_t lastWriteValue;
} DumpFixtureState;

/* The Plug and Play side of the same machine, for the emulated setupapi.dll
 * and cfgmgr32.dll (sim/winepc) and qn38-wine-pc. They reach it through a
 * second device, \\.\QN38PNP, opened with sharing, so that the product's
 * own opens of \\.\ZQDUMP (without sharing) never meet theirs. */
#define DUMP_FIXTURE_GET_MACHINE 0x9C40280Cu /* out: DumpFixtureMachine */
#define DUMP_FIXTURE_INSERT_CARD 0x9C402810u /* in: DumpFixtureCard; a card already in is pulled first */
#define DUMP_FIXTURE_REENUMERATE 0x9C402814u /* in: uint32_t devnode */
#define DUMP_FIXTURE_STATE_CHANGE                                                                                   \
    0x9C402818u /* in: uint32_t devnode, uint32_t DICS_ code; out (optional): uint32_t, nonzero when put off to the \
                   next boot */
#define DUMP_FIXTURE_GET_FILTERS 0x9C40281Cu /* in: uint32_t devnode; out: DumpFixtureFilters */
#define DUMP_FIXTURE_SET_FILTERS 0x9C402820u /* in: DumpFixtureFilters */
#define DUMP_FIXTURE_DEFER_STOPS 0x9C402824u /* in: uint32_t, how many next stops the class installer puts off */
/* Plug and Play's removal of a subtree (a query-remove, or an eject) and
 * its undoing, and a program's handle on the card's device. */
/* in: uint32_t devnode, uint32_t nonzero to keep it from restarting; out:
 * uint32_t a DUMP_FIXTURE_REMOVAL_ result, uint32_t the devnode whose open
 * handle vetoed. */
#define DUMP_FIXTURE_REMOVE_SUBTREE 0x9C402828u
#define DUMP_FIXTURE_RESET_DEVNODE 0x9C40282Cu /* in: uint32_t devnode; CM_SETUP_DEVNODE_RESET */
#define DUMP_FIXTURE_HOLD_CARD                                                             \
    0x9C402830u /* in: uint32_t, nonzero opens a handle on the card's device, 0 closes one \
                 */

#define DUMP_FIXTURE_REMOVAL_GRANTED 0u
#define DUMP_FIXTURE_REMOVAL_VETOED 1u
#define DUMP_FIXTURE_REMOVAL_UNMODELLED 2u /* this machine removes only the card's devices */

/* The devnodes of the machine. Their handles (DEVINST values) are these
 * numbers; what each one is lies in sim/winepc/machine.h. */
#define DUMP_FIXTURE_NODE_ROOT 1u
#define DUMP_FIXTURE_NODE_PCI_BUS 2u
#define DUMP_FIXTURE_NODE_HOST_BRIDGE 3u
#define DUMP_FIXTURE_NODE_ROOT_PORT 4u   /* the adapter's root port: QN38UP goes on its upper filters */
#define DUMP_FIXTURE_NODE_ADAPTER 5u     /* on the slot's bus */
#define DUMP_FIXTURE_NODE_SLOT_BRIDGE 6u /* on the slot's bus */
#define DUMP_FIXTURE_NODE_CARD 7u        /* on the bus below the slot, while it exists */
#define DUMP_FIXTURE_NODE_OTHER_PORT 8u
#define DUMP_FIXTURE_NODE_NETWORK 9u
#define DUMP_FIXTURE_NODE_USB 10u
#define DUMP_FIXTURE_NODE_DISK 11u /* the card's disk, below the card */
#define DUMP_FIXTURE_NODES 11u

/* The card's disk (\Device\QN38DISK, reached through its interface's
 * path) answers IOCTL_STORAGE_GET_DEVICE_NUMBER with this disk number while
 * the card's devnode exists. It has no volume: under Wine 8 FSCTL_LOCK_VOLUME
 * and FSCTL_UNLOCK_VOLUME succeed without reaching a driver,
 * FSCTL_DISMOUNT_VOLUME fails after it, and GetDiskFreeSpaceExW fails on a
 * driver's volume, so a volume here could only show what Wine does. */
#define DUMP_FIXTURE_DISK_NUMBER 81u
#define DUMP_FIXTURE_DISK_LINK \
    L"scsi#disk&ven_qn38&prod_test_disk#6&1234abcd&0&000000#{53f56307-b6bf-11d0-94f2-00a0c91efb8b}"

#define DUMP_FIXTURE_NEEDS_NOTHING 0u
#define DUMP_FIXTURE_NEEDS_LINK_CYCLE 1u   /* shows only after Link Disable was set and cleared with it in */
#define DUMP_FIXTURE_NEEDS_DEVICE_CYCLE 2u /* shows only after the slot bridge was disabled and enabled with it in */

#define DUMP_FIXTURE_NAME_UNITS 128u
#define DUMP_FIXTURE_FILTER_BYTES 1024u
#define DUMP_FIXTURE_NO_VALUE 0xFFFFFFFFu

typedef struct DumpFixtureCard {
    uint32_t trainingMs; /* the link trains this long after it comes up */
    uint32_t needs;      /* DUMP_FIXTURE_NEEDS_ */
    /* After the link goes down the card's devnodes stay this long before
     * they leave, as Windows removes a stopped card's devices some time
     * after the re-enumeration that found it gone has returned. */
    uint32_t lingerMs;
    uint32_t problem;                       /* nonzero: the card's devnode comes up with this CM_PROB_ code */
    uint16_t name[DUMP_FIXTURE_NAME_UNITS]; /* the device description, UTF-16, ending in 0 */
    /* Once the link has trained the card asks for configuration reads to be
     * retried (Vendor ID 0x0001) this long; a scan before then finds nothing. */
    uint32_t answersMs;
    /* Windows installs the card's driver: its devnode starts this long after
     * it appeared, not configured (CM_PROB_NOT_CONFIGURED) until then. */
    uint32_t installsMs;
} DumpFixtureCard;

typedef struct DumpFixtureMachine {
    DumpFixtureSlot slot;
    uint32_t cardDevnode;  /* nonzero while the card's devnode exists */
    uint32_t cardKnown;    /* the card's devnode has existed: it stays among the devices not present */
    uint32_t disabled;     /* bit n: devnode n disabled through the class installer */
    uint32_t pending;      /* always 0: a scan that comes too early finds nothing, and nothing scans again */
    uint32_t enumerations; /* re-enumerations asked for since the driver started */
    uint32_t stateChanges; /* class-installer state changes since the driver started */
    uint32_t diskQueries;  /* IOCTL_STORAGE_GET_DEVICE_NUMBER requests to the card's disk */
    uint32_t pnpRequests;  /* requests to \\.\QN38PNP: what the emulated DLLs asked, the measure of their calls */
    uint32_t linkEnables;  /* times Link Disable was cleared since the driver started */
    uint32_t leavingMs;    /* nonzero: the card's devnodes leave in this many milliseconds */
    uint32_t installing;   /* nonzero while Windows installs the card's driver */
    uint32_t deferStops;   /* the class installer puts this many next stops of a device off to the next boot */
    DumpFixtureCard card;
    /* The card's devices removed by Plug and Play (a query-remove or an
     * eject) with the card still in: its devnode stays, not started, held
     * for eject (problem 47), and its disk is gone. */
    uint32_t cardRemoved;
    uint32_t cardNoRestart; /* removed and kept from restarting until CM_Setup_DevNode(CM_SETUP_DEVNODE_RESET) */
    uint32_t cardHandles;   /* handles programs hold open on the card's device */
    /* The card's function left the bus while a handle was open: its devnode
     * stays, its removal pending, until the last handle closes. */
    uint32_t cardGone;
} DumpFixtureMachine;

typedef struct DumpFixtureFilters {
    uint32_t devnode;
    uint32_t bytes; /* DUMP_FIXTURE_NO_VALUE: the device has no upper-filter value */
    uint8_t data[DUMP_FIXTURE_FILTER_BYTES];
} DumpFixtureFilters;

#endif
