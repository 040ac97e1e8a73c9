#pragma once

#include "livestate.h"

#include <QObject>
#include <QTimer>

#include <memory>

class TSInterfaceDll;

// The one reader of the simulator's library for every live subscriber: in a
// thread of its own, with an interface of its own, it reads each controller
// that anyone subscribed to once per tick, at the shortest period anyone
// asked for, so the library's cost follows what is subscribed, not how many
// subscribed. It ticks only while there is demand, looks for a new
// locomotive once a second while it ticks (and when asked), and carries out
// the set requests. It tells its listener by queued calls of
// "locomotiveChanged", "valuesChanged" and "setsDone".
class Sampler : public QObject
{
    Q_OBJECT

public:
    Sampler(QString simulatorPath, LiveState* state);
    ~Sampler() override;

    // In the sampler's thread, by queued calls.
    Q_INVOKABLE void start();
    Q_INVOKABLE void demandChanged();
    Q_INVOKABLE void refresh();
    Q_INVOKABLE void setsWaiting();

private:
    void tick();
    void readLocomotive();
    // Reads the locomotive anew when its name has changed; true then.
    bool newLocomotive();
    void notify(const char* method);

    QString m_simulatorPath;
    LiveState* m_state;
    std::unique_ptr<TSInterfaceDll> m_interface;
    QString m_locoName;
    QTimer m_tick;
    QTimer m_locoCheck;
};
