#pragma once

#include "IKxMediaTime.h"

#include <atomic>

class KxMediaTime final : public IKxMediaTime {
public:
    KxMediaTime();
    ~KxMediaTime() override;

    int start() override;
    int64_t elapsed() override;
    int64_t startedAtUs() override;

private:
    // Readers on other threads see either the old or the new origin.
    std::atomic<int64_t> m_originUs{-1};
};
