#include "KxMediaTime.h"

#include <QDebug>

KxMediaTime::KxMediaTime()
{
    qDebug() << "KxMediaTime::KxMediaTime";
}

KxMediaTime::~KxMediaTime()
{
    qDebug() << "KxMediaTime::~KxMediaTime";
}

int KxMediaTime::start()
{
    m_originUs.store(steadyNowUs(), std::memory_order_release);
    return 0;
}

int64_t KxMediaTime::elapsed()
{
    const int64_t origin = m_originUs.load(std::memory_order_acquire);
    if (origin < 0)
        return 0;
    return (steadyNowUs() - origin) / 1000;
}

int64_t KxMediaTime::startedAtUs()
{
    return m_originUs.load(std::memory_order_acquire);
}
