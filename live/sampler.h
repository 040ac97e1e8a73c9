#pragma once

#include <QHash>
#include <QJsonValue>
#include <QMetaType>
#include <QObject>
#include <QString>
#include <QTimer>
#include <QVector>

#include <memory>

class TSInterfaceDll;

// The one reader of the simulator's library for every live subscriber: in a
// thread of its own, with an interface of its own, it reads each controller
// that anyone subscribed to once per tick, at the shortest period anyone
// asked for, so the library's cost follows what is subscribed, not how many
// subscribed. It ticks only while there is demand, looks for a new
// locomotive once a second while it ticks (and when asked), and carries out
// the live port's sets.
//
// What it reads leaves by its signals as values, in the order it read them:
// a locomotive always before any value of it. A controller set through
// either port is read again at once, so that every subscriber sees the
// change without waiting for the next tick.
class Sampler : public QObject
{
    Q_OBJECT

public:
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
    // One tick's values, or a controller read again after a set.
    struct Values
    {
        int generation = 0; // of the locomotive they were read from
        QHash<int, double> values;
    };
    struct SetRequest
    {
        quint64 session = 0;
        QJsonValue id; // echoed as the client sent it
        int index = 0;
        double value = 0;
        bool ok = false; // once carried out: handed to the library
    };

    explicit Sampler(QString simulatorPath);
    ~Sampler() override;

public slots:
    // In the sampler's thread, queued.
    void start();
    // Controller index to the shortest period any subscriber wants it at;
    // -1 for names the locomotive lacks: no value, the locomotive watched.
    void setDemand(const QHash<int, int>& demand);
    // Looks for a new locomotive now.
    void refresh();
    void set(const Sampler::SetRequest& request);
    // A controller was set through the main port.
    void readAgain(int index);

signals:
    void locomotiveRead(const Sampler::Locomotive& locomotive);
    void valuesRead(const Sampler::Values& values);
    void setDone(const Sampler::SetRequest& request);

private:
    void tick();
    void read(const QList<int>& indexes);
    void readLocomotive();
    // Reads the locomotive anew when its name has changed; true then.
    bool newLocomotive();

    QString m_simulatorPath;
    std::unique_ptr<TSInterfaceDll> m_interface;
    QHash<int, int> m_demand;
    QString m_locoName;
    int m_generation = 0;
    QTimer m_tick;
    QTimer m_locoCheck;
};

Q_DECLARE_METATYPE(Sampler::Locomotive)
Q_DECLARE_METATYPE(Sampler::Values)
Q_DECLARE_METATYPE(Sampler::SetRequest)
