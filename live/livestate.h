#pragma once

#include <QHash>
#include <QJsonValue>
#include <QString>
#include <QVector>

#include <mutex>

// What the sampling thread and the live server's thread hand each other,
// under one lock: the locomotive as the sampler last read it, the latest
// values, the controllers the subscribers want and how often, and the
// set requests on their way to the library and back. Each side wakes the
// other with a queued call by name through wake(), which also knows when
// the other side is gone; nothing else crosses between them.
class QObject;

class LiveState
{
public:
    enum Side { Sampler, Server };

    // Registers (or, with null, removes) the object that a side's wake-ups
    // go to. An object removes itself before it goes.
    void setSide(Side side, QObject* object);
    // A queued call of `method` on the side's object, if it is there.
    void wake(Side side, const char* method);

    struct Controller
    {
        int index = 0;
        QString name;
        double minimum = 0;
        double maximum = 0;
    };
    struct Locomotive
    {
        QString name;
        QVector<Controller> controllers;
        int generation = 0; // one more for every locomotive read
    };
    struct SetRequest
    {
        quint64 session = 0;
        QJsonValue id; // echoed as the client sent it
        int index = 0;
        double value = 0;
        bool done = false;
        bool ok = false;
    };

    Locomotive locomotive() const;
    void setLocomotive(Locomotive locomotive);

    // The latest values and the number of the tick that read them.
    QHash<int, double> values(quint64* tick = nullptr) const;
    void publishValues(const QHash<int, double>& values);

    // Controller index to the shortest period any subscriber wants it at;
    // -1 for names the locomotive lacks: no value, the locomotive watched.
    QHash<int, int> demand() const;
    void setDemand(const QHash<int, int>& demand);

    void requestSet(const SetRequest& request);
    QVector<SetRequest> takeSetRequests();
    void finishSet(const SetRequest& request);
    QVector<SetRequest> takeFinishedSets();

private:
    mutable std::mutex m_mutex;
    QObject* m_sides[2] = {nullptr, nullptr};
    Locomotive m_locomotive;
    QHash<int, double> m_values;
    quint64 m_tick = 0;
    QHash<int, int> m_demand;
    QVector<SetRequest> m_sets;
    QVector<SetRequest> m_finished;
};
