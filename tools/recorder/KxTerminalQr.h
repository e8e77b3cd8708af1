#pragma once

#include <QString>

/// The QR symbol of text drawn with Unicode half blocks (two modules per
/// character cell), with a quiet zone; empty when the text cannot be encoded.
QString kxTerminalQr(const QString &text);
