#pragma once

#include <QByteArray>
#include <QString>

// One framed message, decoded from a request or encoded as a reply. On the
// wire: "@" LLLLLL ";" CCC ";" TTTTTT ";" payload ";" with the length L
// counting the bytes after the eight-byte header.
struct MessageFrame
{
    QByteArray bytes; // the complete encoded frame; replies only
    qint32 length = 0;
    qint32 command = 0;
    qint32 tag = 0;
    QString payload; // requests: everything from offset 19, closing ";" included
};
