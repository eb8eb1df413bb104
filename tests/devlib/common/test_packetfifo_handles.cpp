// Handle numbering, in a process of its own: the first FIFO a process creates is 1.
#include "packetfifo.h"

#include <gtest/gtest.h>

TEST(PacketFifoHandles, CountFromOne) {
    aPacketFifo first = aPacketFifo_Create();
    aPacketFifo second = aPacketFifo_Create();
    EXPECT_EQ(first, 1u);
    EXPECT_EQ(second, 2u);
    aPacketFifo_Destroy(&first);
    aPacketFifo third = aPacketFifo_Create();
    EXPECT_EQ(third, 3u);
    aPacketFifo_Destroy(&second);
    aPacketFifo_Destroy(&third);
}
