// Checksums of the runtime (component CmpChecksum): the CRC-16 of the router's
// broadcast ids and the CRC-32 of the channel layer's messages. Both are
// table driven and can be computed over several pieces: start with the
// initial value, feed every piece through the update, finish once.
#pragma once

#include "CmpStd.h"

// CRC-16 with polynomial 0x1021, initial value 0xFFFF, no reflection and no
// final step (the check value of "123456789" is 0x29B1).
#define CRC16_INIT 0xFFFFu
// CRC-32 of IEEE 802.3: reflected polynomial 0xEDB88320, initial value all
// ones, final complement (the check value of "123456789" is 0xCBF43926).
#define CRC32_INIT 0xFFFFFFFFu

KL_API_FUNC(RTS_UI16, CRC16Update, (RTS_UI16 usCrc, const void* pData, RTS_SIZE ulSize));
KL_API_FUNC(RTS_UI16, CRC16Finish, (RTS_UI16 usCrc));
KL_API_FUNC(RTS_UI32, CRC32Update, (RTS_UI32 ulCrc, const void* pData, RTS_SIZE ulSize));
KL_API_FUNC(RTS_UI32, CRC32Finish, (RTS_UI32 ulCrc));

KL_COMPONENT_ENTRY(CmpChecksum);
