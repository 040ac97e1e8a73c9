#include "livestate.h"

#include <QMetaObject>

#include <utility>

void LiveState::setSide(Side side, QObject* object)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_sides[side] = object;
}

// Posted under the lock: the object cannot go meanwhile, since it takes the
// lock to remove itself first, and a posted call to an object that goes
// later is dropped with it.
void LiveState::wake(Side side, const char* method)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_sides[side])
        QMetaObject::invokeMethod(m_sides[side], method, Qt::QueuedConnection);
}

LiveState::Locomotive LiveState::locomotive() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_locomotive;
}

void LiveState::setLocomotive(Locomotive locomotive)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    locomotive.generation = m_locomotive.generation + 1;
    m_locomotive = std::move(locomotive);
    m_values.clear();
}

QHash<int, double> LiveState::values(quint64* tick) const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    if (tick)
        *tick = m_tick;
    return m_values;
}

void LiveState::publishValues(const QHash<int, double>& values)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_values = values;
    ++m_tick;
}

QHash<int, int> LiveState::demand() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_demand;
}

void LiveState::setDemand(const QHash<int, int>& demand)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_demand = demand;
}

void LiveState::requestSet(const SetRequest& request)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_sets.append(request);
}

QVector<LiveState::SetRequest> LiveState::takeSetRequests()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return std::exchange(m_sets, {});
}

void LiveState::finishSet(const SetRequest& request)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_finished.append(request);
}

QVector<LiveState::SetRequest> LiveState::takeFinishedSets()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return std::exchange(m_finished, {});
}
