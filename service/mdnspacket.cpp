#include "mdnspacket.h"

namespace {

// Record types whose data the parser reads as names (and, for SRV, the
// three numbers before one).
constexpr int kTypeA = 1, kTypeNs = 2, kTypeCname = 5, kTypePtr = 12, kTypeAaaa = 28, kTypeSrv = 33;

class Walker
{
public:
    explicit Walker(const QByteArray& bytes)
        : m_data(reinterpret_cast<const unsigned char*>(bytes.constData()))
        , m_size(bytes.size())
    {
    }

    bool skip(int count)
    {
        if (count < 0 || m_size - m_at < count)
            return false;
        m_at += count;
        return true;
    }
    bool number16(int* value)
    {
        if (m_size - m_at < 2)
            return false;
        *value = (m_data[m_at] << 8) | m_data[m_at + 1];
        m_at += 2;
        return true;
    }
    // A name: labels of at most 63 bytes, up to 255 bytes spelled out, and
    // pointers only to earlier, non-empty names, each further back than the
    // last, so that following them ends.
    bool name()
    {
        int at = m_at;
        int spelled = 0;
        int limit = m_at; // a pointer goes before this
        bool jumped = false;
        for (;;) {
            if (at >= m_size)
                return false;
            const int length = m_data[at];
            if (length == 0) {
                if (!jumped)
                    m_at = at + 1;
                return true;
            }
            if ((length & 0xc0) == 0xc0) {
                if (at + 1 >= m_size)
                    return false;
                const int target = ((length & 0x3f) << 8) | m_data[at + 1];
                // The parser reads on past the end of an empty name that a
                // pointer leads to, as if it were a label.
                if (target >= limit || m_data[target] == 0)
                    return false;
                if (!jumped)
                    m_at = at + 2;
                jumped = true;
                limit = target;
                at = target;
                continue;
            }
            if (length & 0xc0) // the extended label types nobody uses
                return false;
            spelled += length + 1;
            if (spelled > 255 || m_size - at - 1 < length)
                return false;
            at += length + 1;
        }
    }
    int at() const { return m_at; }

private:
    const unsigned char* m_data;
    int m_size;
    int m_at = 0;
};

} // namespace

bool MdnsPacket::wellFormed(const QByteArray& datagram)
{
    if (datagram.size() < 12 || datagram.size() > MaxBytes)
        return false;
    Walker walker(datagram);
    int counts[4];
    if (!walker.skip(4))
        return false;
    for (int& count : counts)
        walker.number16(&count);
    if (counts[0] + counts[1] + counts[2] + counts[3] > MaxEntries)
        return false;
    for (int i = 0; i < counts[0]; ++i)
        if (!walker.name() || !walker.skip(4))
            return false;
    for (int i = counts[0]; i < counts[0] + counts[1] + counts[2] + counts[3]; ++i) {
        int type = 0, length = 0;
        if (!walker.name() || !walker.number16(&type) || !walker.skip(6) || !walker.number16(&length))
            return false;
        const int end = walker.at() + length;
        switch (type) {
        case kTypeA:
            if (length != 4)
                return false;
            break;
        case kTypeAaaa:
            if (length != 16)
                return false;
            break;
        case kTypeNs:
        case kTypeCname:
        case kTypePtr:
            if (!walker.name() || walker.at() != end)
                return false;
            continue;
        case kTypeSrv:
            if (!walker.skip(6) || !walker.name() || walker.at() != end)
                return false;
            continue;
        default:
            break;
        }
        if (!walker.skip(length))
            return false;
    }
    return true;
}
