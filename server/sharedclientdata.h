#pragma once

#include <mutex>
#include <QString>

// The small record that all clients of one server share: two texts, a
// number and five integers that any client may set (framed command 9) and
// every client reads back (commands 4 and 10). Client threads read and write
// it concurrently, so it is only reached through whole-record copies taken
// under its lock: a reader never sees half of another client's update.
class SharedClientData
{
public:
    struct Values
    {
        QString text1;
        QString text2;
        float number = 0.0f;
        qint32 int1 = 9;
        qint32 int2 = 169;
        qint32 int3 = 300;
        qint32 int4 = 200;
        qint32 int5 = 200;
    };

    Values read() const;
    void write(const Values& values);

private:
    mutable std::mutex m_mutex;
    Values m_values;
};
