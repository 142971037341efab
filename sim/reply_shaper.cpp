#include "reply_shaper.h"

#include <algorithm>

namespace kavo::sim {

ReplyShaper::ReplyShaper(FaultSettings faults, quint32 seed) : m_faults(faults), m_random(seed) {}

char ReplyShaper::randomByte() {
    return char(std::uniform_int_distribution<int>(0, 255)(m_random));
}

QByteArray ReplyShaper::randomBytes(qsizetype count) {
    QByteArray bytes;
    bytes.reserve(count);
    for (qsizetype i = 0; i < count; ++i)
        bytes.append(randomByte());
    return bytes;
}

std::vector<Piece> ReplyShaper::shape(const QByteArray& reply, milliseconds now) {
    if (m_faults.silent || reply.isEmpty())
        return {};
    QByteArray line;
    if (m_faults.noisePercent > 0) {
        std::uniform_int_distribution<int> percent(0, 99);
        for (const char byte : reply) {
            if (percent(m_random) < m_faults.noisePercent)
                line.append(randomByte());
            line.append(byte);
        }
    } else {
        line = reply;
    }

    const qsizetype size = m_faults.pieceSize > 0 ? m_faults.pieceSize : line.size();
    std::vector<Piece> pieces;
    milliseconds due = std::max(now + m_faults.delay, m_busyUntil);
    for (qsizetype from = 0; from < line.size(); from += size) {
        if (!pieces.empty())
            due += m_faults.pieceGap;
        pieces.push_back({due, line.mid(from, size)});
    }
    m_busyUntil = due;
    return pieces;
}

} // namespace kavo::sim
