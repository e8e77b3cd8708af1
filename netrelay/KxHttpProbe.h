#pragma once
// A blocking "does the service answer HTTP?" check that works on any thread,
// with or without an event loop.

#include <QUrl>

#include <atomic>

/// Sends "HEAD <path>" to url and waits at most timeoutMs for the first
/// bytes of an HTTP answer; any status counts. Returns false on refusal,
/// time-out, a connection closed without an answer, an invalid url, or when
/// *cancel turns true (checked every 100 ms).
bool kxProbeHttp(const QUrl &url, int timeoutMs, const std::atomic<bool> *cancel = nullptr);
