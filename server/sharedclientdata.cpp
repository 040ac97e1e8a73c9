#include "sharedclientdata.h"

#include <QMutexLocker>

SharedClientData::Values SharedClientData::read() const
{
    QMutexLocker lock(&m_mutex);
    return m_values;
}

void SharedClientData::write(const Values& values)
{
    QMutexLocker lock(&m_mutex);
    m_values = values;
}
