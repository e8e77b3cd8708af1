#include "KxMediaTime.h"

#include <QDebug>

KxMediaTime::KxMediaTime()
{
    qDebug() << "KxMediaTime::KxMediaTime";
    m_timer.start();
}

KxMediaTime::~KxMediaTime()
{
    qDebug() << "KxMediaTime::~KxMediaTime";
}

int KxMediaTime::start()
{
    m_originNs.store(m_timer.nsecsElapsed(), std::memory_order_release);
    return 0;
}

int64_t KxMediaTime::elapsed()
{
    const int64_t origin = m_originNs.load(std::memory_order_acquire);
    if (origin < 0)
        return 0;
    return (m_timer.nsecsElapsed() - origin) / 1000000;
}
