#include "sharedclientdata.h"


SharedClientData::Values SharedClientData::read() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_values;
}

void SharedClientData::write(const Values& values)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_values = values;
}
