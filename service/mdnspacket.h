#pragma once

#include <QByteArray>

// The check a multicast DNS datagram from the network passes before the
// mDNS library parses it. The library's parser trusts the counts, lengths
// and name pointers it reads, and reads past the datagram, or writes past
// its own buffer, when they lie; this walks the same structure with bounds
// and accepts only what the parser will stay inside of.
class MdnsPacket
{
public:
    // Larger than any mDNS datagram (RFC 6762 allows up to 9000 bytes).
    static constexpr int MaxBytes = 9000;
    // Questions and records together; the parser lays them all out in one
    // fixed block, so their number is what bounds its writes.
    static constexpr int MaxEntries = 64;
    // Zero bytes the datagram is handed to the parser with: it reads a
    // name's end and a record's fixed fields without looking at the length.
    static constexpr int ParserPadding = 64;

    static bool wellFormed(const QByteArray& datagram);
};
