#pragma once

#include "IKxMediaTime.h"

#include <QElapsedTimer>

#include <atomic>

class KxMediaTime final : public IKxMediaTime {
public:
    KxMediaTime();
    ~KxMediaTime() override;

    int start() override;
    int64_t elapsed() override;

private:
    // Started once at construction and only read afterwards, so readers on
    // other threads never see it change; start() moves the origin instead.
    QElapsedTimer m_timer;
    std::atomic<int64_t> m_originNs{-1};
};
