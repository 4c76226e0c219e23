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

#endif
