#pragma once

#include <QtGlobal>

// Readiness bits, with the values Winsock uses for WSAPoll.
namespace SocketPoll {
constexpr short ReadNormal = 0x0100;
constexpr short ReadBand = 0x0200;
constexpr short WriteNormal = 0x0010;
constexpr short Error = 0x0001;
constexpr short HangUp = 0x0002;
constexpr short ReadMask = ReadNormal | ReadBand | Error | HangUp; // 0x0303
} // namespace SocketPoll

// Zero-timeout readiness query on one socket. Returns the poll result (<= 0: nothing ready)
// and stores the reported events, translated to the bits above, in *events.
int pollSocketOnce(qintptr socket, bool wantWrite, short *events);
