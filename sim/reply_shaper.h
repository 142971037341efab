#pragma once

// Line faults for testing the panel against a projector that misbehaves: a
// reply may be withheld, delayed, cut into pieces or salted with noise. The
// shaper decides what goes out when; the executable does the writing.

#include "sim_constants.h"

#include <QByteArray>
#include <random>
#include <vector>

namespace kavo::sim {

struct FaultSettings {
    bool silent = false;   // never answer
    milliseconds delay{0}; // before the first character of every reply
    int pieceSize = 0;     // bytes per piece when replies are split; 0 = whole
    milliseconds pieceGap = kDefaultSplitGap;
    int noisePercent = 0; // chance that a random byte goes before each reply byte
};

struct Piece {
    milliseconds due;
    QByteArray bytes;
};

class ReplyShaper {
  public:
    ReplyShaper(FaultSettings faults, quint32 seed);

    // The pieces of one reply and when each is due. Pieces never overtake
    // those of an earlier reply, so replies keep their order on the line.
    std::vector<Piece> shape(const QByteArray& reply, milliseconds now);

    // Random bytes for a flood.
    QByteArray randomBytes(qsizetype count);

  private:
    char randomByte();

    FaultSettings m_faults;
    std::mt19937 m_random;
    milliseconds m_busyUntil{0};
};

} // namespace kavo::sim
