#pragma once
// Helpers shared by the widgets: scaled lengths, style-sheet numbers, the
// floating-window set-up, the image resource and the font fallbacks.
// Main thread only.

#include <QString>

class QWidget;

/// A base length times the scale, truncated to an integer.
int kxScaled(double base, double scale);
/// A font size or radius for a style sheet: floor(base x scale).
int kxScaledFloor(double base, double scale);
/// base x scale as a real in its shortest form ("14", "16.8", "28").
QString kxScaledReal(double base, double scale);
/// The scale behind a widget's pointer; 1 when the pointer is null.
double kxScaleOf(const double *scale);

/// Frameless tool window that stays on top, with a translucent background.
void kxMakeFloating(QWidget *widget);
/// Fills owner, without margins, with a new child widget named objectName
/// and styled style (the usual "backWidget" that carries a window's look);
/// returns it.
QWidget *kxAddBackWidget(QWidget *owner, const QString &objectName, const QString &style);
/// Brings a window to the front of its layer at its current place and size.
/// On X11 the top layer itself comes from the stays-on-top hint given at
/// creation (or from bypassing the window manager).
void kxRaiseOnTop(QWidget *widget);

/// Registers the compiled images (":/img/images/...") of this library. The
/// widgets call it themselves; safe to call more than once.
void kxInitUiResources();

/// Makes the style sheets' "Microsoft YaHei" fall back to an installed CJK
/// font (WenQuanYi Micro Hei, Noto Sans CJK SC, ...). The program's main
/// calls it once after creating the application object.
void kxInstallFontFallbacks();
