#include "sampler.h"

#include "queuedhandoff.h"
#include "tsinterfacedll.h"

#include <algorithm>
#include <climits>

namespace {

constexpr int kLocoCheckMs = 1000;

} // namespace

Sampler::Sampler(QString simulatorPath)
    : m_simulatorPath(std::move(simulatorPath))
{
    // Children, so that they move to the sampler's thread with it.
    m_tick.setParent(this);
    m_locoCheck.setParent(this);
    connect(&m_tick, &QTimer::timeout, this, &Sampler::tick);
    connect(&m_locoCheck, &QTimer::timeout, this, &Sampler::refresh);
    m_locoCheck.setInterval(kLocoCheckMs);
}

// Deleted later by the live endpoint, which handed it over to this thread.
Sampler::~Sampler()
{
    QueuedHandoff::receive(this);
}

void Sampler::start()
{
    // Made here: the interface is a QObject of this thread.
    m_interface = std::make_unique<TSInterfaceDll>(m_simulatorPath);
    QString status;
    m_interface->connectSimulator(status);
    readLocomotive();
}

void Sampler::readLocomotive()
{
    Locomotive locomotive;
    m_interface->getLocoName(locomotive.name);
    // "index::name::minimum::maximum::" for every controller.
    QString list;
    if (m_interface->getControllerListRaw(list) == ResultOk) {
        const QStringList fields = list.split(QStringLiteral("::"));
        for (int i = 0; i + 3 < fields.size(); i += 4)
            locomotive.controllers.append({fields.at(i).toInt(), fields.at(i + 1), fields.at(i + 2).toDouble(),
                                           fields.at(i + 3).toDouble()});
    }
    m_locoName = locomotive.name;
    locomotive.generation = ++m_generation;
    // The old locomotive's indexes name nothing here: nothing is read until
    // the listener, told of this locomotive, says what it wants of it.
    m_demand.clear();
    QueuedHandoff::send(&Sampler::staticMetaObject);
    emit locomotiveRead(locomotive);
}

// The name, not the library's changed flag, tells of a new locomotive:
// reading the flag clears it, and a library without the flag still names
// its locomotive.
bool Sampler::newLocomotive()
{
    QString name;
    m_interface->getLocoName(name);
    if (name == m_locoName)
        return false;
    readLocomotive();
    return true;
}

void Sampler::refresh()
{
    if (m_interface && newLocomotive())
        tick();
}

void Sampler::setDemand(const QHash<int, int>& demand)
{
    QueuedHandoff::receive(&Sampler::staticMetaObject);
    m_demand = demand;
    if (demand.isEmpty()) {
        m_tick.stop();
        m_locoCheck.stop();
        return;
    }
    int period = INT_MAX;
    for (int wanted : demand)
        period = std::min(period, wanted);
    m_tick.setInterval(period);
    if (!m_tick.isActive())
        m_tick.start();
    if (!m_locoCheck.isActive())
        m_locoCheck.start();
    // A new subscriber is owed the current values at once.
    tick();
}

void Sampler::tick()
{
    read(m_demand.keys());
}

void Sampler::read(const QList<int>& indexes)
{
    if (!m_interface)
        return;
    Values values;
    values.generation = m_generation;
    for (int index : indexes) {
        if (index < 0)
            continue;
        QString text = QStringLiteral("%1;0").arg(index);
        bool ok = false;
        if (m_interface->getControllerValue(text) == ResultOk) {
            const double value = text.toDouble(&ok);
            if (ok)
                values.values.insert(index, value);
        }
    }
    // The name is asked after the values, one call whatever the number of
    // subscribers: values read while the locomotive changed would go out
    // under the old one's indexes, so they are dropped, and the next read is
    // the new one's.
    if (newLocomotive() || values.values.isEmpty())
        return;
    QueuedHandoff::send(&Sampler::staticMetaObject);
    emit valuesRead(values);
}

void Sampler::set(const Sampler::SetRequest& request)
{
    QueuedHandoff::receive(&Sampler::staticMetaObject);
    SetRequest done = request;
    QString text = QStringLiteral("%1:%2").arg(request.index).arg(request.value, 0, 'g', 9);
    done.ok = m_interface && m_interface->setControllerValue(text) == ResultOk;
    // The new value first: the client that set it learns of the change as
    // every other subscriber does, and then that its set was carried out.
    readAgain(request.index);
    QueuedHandoff::send(&Sampler::staticMetaObject);
    emit setDone(done);
}

void Sampler::readAgain(int index)
{
    if (m_demand.contains(index))
        read({index});
}
