/*
 * Packet FIFO: the hand-over point between a link's threads and the callers
 * waiting for packets. A FIFO is named by a numeric handle looked up in a
 * process-wide dictionary, so it can be destroyed while other threads still
 * wait on it (they wake and return NULL).
 *
 * Put copies the caller's packet in; every taking function hands out a new
 * packet the caller owns (release with aPacket_Destroy). Waits use the
 * monotonic clock. A FIFO holds at most aPACKETFIFO_CAPACITY packets: the put
 * that would exceed it drops everything held, the new packet included.
 */
#ifndef VORLIXANE_PACKETFIFO_H
#define VORLIXANE_PACKETFIFO_H

#include <stddef.h>
#include <stdint.h>

#include "aError.h"
#include "aPacket.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef uint64_t aPacketFifo;

#define aPACKETFIFO_CAPACITY 1000

/* Nonzero when packet is the one sought. Runs under the FIFO's lock: keep it
 * short and never call into the same FIFO from it. ref is passed through. */
typedef uint8_t (*aPacketFifoFilter)(const aPacket* packet, void* ref);

/* New FIFO handle (never 0); 0 on failure. */
aPacketFifo aPacketFifo_Create(void);

/* Destroys the FIFO, wakes every waiter and sets *fifo to 0. aErrParam for a
 * NULL address, aErrNotFound for an unknown handle, aErrUnknown on an internal
 * failure. */
aErr aPacketFifo_Destroy(aPacketFifo* fifo);

/* Packets held; 0 for an unknown handle. */
size_t aPacketFifo_GetLength(aPacketFifo fifo);

/* Appends a copy of packet. aErrParam for an unknown handle, an invalid
 * packet or a failed copy; aErrResource when the queue cannot grow. */
aErr aPacketFifo_Put(aPacketFifo fifo, const aPacket* packet);

/* Oldest packet, taken out; NULL when empty or unknown. */
aPacket* aPacketFifo_Get(aPacketFifo fifo);

/* Oldest packet, waiting up to timeoutMs for one; 0 only polls. */
aPacket* aPacketFifo_Await(aPacketFifo fifo, uint64_t timeoutMs);

/* Oldest packet the filter accepts, taken out; NULL when none does. */
aPacket* aPacketFifo_GetFirst(aPacketFifo fifo, aPacketFifoFilter filter, void* ref);

/* As GetFirst, waiting up to timeoutMs. Within one call each packet is offered
 * to the filter at most once, in order of arrival, including packets arriving
 * during the wait. */
aPacket* aPacketFifo_AwaitFirst(aPacketFifo fifo, aPacketFifoFilter filter, void* ref,
                                uint64_t timeoutMs);

/* Removes and frees every packet the filter accepts (each offered once);
 * returns how many. */
size_t aPacketFifo_DrainPackets(aPacketFifo fifo, aPacketFifoFilter filter, void* ref);

#ifdef __cplusplus
}
#endif

#endif
