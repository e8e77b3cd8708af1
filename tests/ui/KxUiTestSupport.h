#pragma once
// Helpers of the user-interface tests: a QApplication on the test runner's X
// server, mouse events with exact positions, screenshots of windows as they
// look on a desktop, and a private devcloud behind the network manager so
// that reported user actions can be read back.

#include "KxDevCloudFixture.h"

#include <QJsonArray>
#include <QPoint>
#include <QString>

class QWidget;

/// Sends a press, moves and a release to target; positions are in target's
/// coordinates. Qt hands ignored events on to the parents, as with a real
/// mouse.
void kxMousePress(QWidget *target, QPoint pos);
void kxMouseMove(QWidget *target, QPoint pos);
void kxMouseRelease(QWidget *target, QPoint pos);

/// Saves window (shown first if hidden) over a plain desktop backdrop as
/// <build>/screenshots/<name>.png; returns the file's path.
QString kxSaveScreenshot(QWidget *window, const QString &name);

/// The devcloud that the process-wide network manager talks to (started on
/// first use; null when it cannot start).
KxDevCloud *kxTestCloud();
/// The user actions the devcloud received so far, waiting at most timeoutMs
/// for one named id (empty: no wait).
QJsonArray kxReportedActions(const QString &waitForId = {}, int timeoutMs = 8000);
