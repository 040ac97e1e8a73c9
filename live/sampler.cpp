#include "sampler.h"

#include "tsinterfacedll.h"

#include <algorithm>
#include <climits>

namespace {

constexpr int kLocoCheckMs = 1000;

} // namespace

Sampler::Sampler(QString simulatorPath, LiveState* state)
    : m_simulatorPath(std::move(simulatorPath))
    , m_state(state)
{
    // Children, so that they move to the sampler's thread with it.
    m_tick.setParent(this);
    m_locoCheck.setParent(this);
    connect(&m_tick, &QTimer::timeout, this, &Sampler::tick);
    connect(&m_locoCheck, &QTimer::timeout, this, &Sampler::refresh);
    m_locoCheck.setInterval(kLocoCheckMs);
}

Sampler::~Sampler()
{
    m_state->setSide(LiveState::Sampler, nullptr);
}

void Sampler::start()
{
    m_state->setSide(LiveState::Sampler, this);
    // Made here: the interface is a QObject of this thread.
    m_interface = std::make_unique<TSInterfaceDll>(m_simulatorPath);
    QString status;
    m_interface->connectSimulator(status);
    readLocomotive();
}

void Sampler::notify(const char* method)
{
    m_state->wake(LiveState::Server, method);
}

void Sampler::readLocomotive()
{
    LiveState::Locomotive locomotive;
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
    m_state->setLocomotive(std::move(locomotive));
    notify("locomotiveChanged");
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

void Sampler::demandChanged()
{
    const QHash<int, int> demand = m_state->demand();
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
    if (!m_interface)
        return;
    QHash<int, double> values;
    const QHash<int, int> demand = m_state->demand();
    for (auto it = demand.cbegin(); it != demand.cend(); ++it) {
        if (it.key() < 0)
            continue;
        QString text = QStringLiteral("%1;0").arg(it.key());
        bool ok = false;
        if (m_interface->getControllerValue(text) == ResultOk) {
            const double value = text.toDouble(&ok);
            if (ok)
                values.insert(it.key(), value);
        }
    }
    // The name is asked after the values, one call whatever the number of
    // subscribers: values read while the locomotive changed would go out
    // under the old one's indexes, so they are dropped and the next tick
    // reads the new one's.
    if (newLocomotive())
        return;
    m_state->publishValues(values);
    notify("valuesChanged");
}

void Sampler::setsWaiting()
{
    const QVector<LiveState::SetRequest> requests = m_state->takeSetRequests();
    for (LiveState::SetRequest request : requests) {
        QString text = QStringLiteral("%1:%2").arg(request.index).arg(request.value, 0, 'g', 9);
        request.ok = m_interface && m_interface->setControllerValue(text) == ResultOk;
        request.done = true;
        m_state->finishSet(request);
    }
    if (!requests.isEmpty())
        notify("setsDone");
}
