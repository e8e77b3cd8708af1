#pragma once
// A blocking "does the service answer HTTP?" check that works on any thread,
// with or without an event loop.

#include "KxNetrelayConfig.h"

#include <atomic>

/// Sends "HEAD <path>" to the configured server, through the proxy and
/// with the authorities of cfg, and waits at most timeoutMs for the first
/// bytes of an HTTP answer; any status counts. Returns false on refusal,
/// time-out, a connection closed without an answer, an invalid url, or when
/// *cancel turns true (checked every 100 ms).
bool kxProbeHttp(const KxNetrelayConfig &cfg, int timeoutMs, const std::atomic<bool> *cancel = nullptr);
