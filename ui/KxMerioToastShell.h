#pragma once
// The dark modal toasts: a movable frame with a background image and a
// content area, the exit-time upload progress and the exit-or-continue
// choice during a recording. exec() returns 1 for "exit" and 0 for
// "continue". Main thread.

#include "KxMovableWidget.h"

class QLabel;
class QProgressBar;
class QPushButton;
class KxMerioToastShellPrivate;

class KxMerioToastShell : public KxMovableDlg {
    Q_OBJECT
public:
    /// size: before scaling; background: a ":/img/images/..." image.
    KxMerioToastShell(bool showCloseBtn, const QString &background, const QSize &size, double *scale,
                      QWidget *parent = nullptr);
    ~KxMerioToastShell() override;

    /// Adds content below the top row (the shell takes ownership) and fixes
    /// it to the shell's size less the frame.
    void setContentWidget(QWidget *content);
    /// Centres the shell over ref (global coordinates) without showing it.
    void moveToRefWidgetCenter(QWidget *ref);
    /// Centres the shell on the primary screen without showing it.
    void moveToScreenCenter();

protected:
    double scale() const;

private:
    KxMerioToastShellPrivate *m_pData;
};

/// Content of the progress toast.
class ProgressInnerWidget : public QWidget {
    Q_OBJECT
public:
    explicit ProgressInnerWidget(double scale, QWidget *parent = nullptr);

signals:
    void sigToExit();
    void sigToContinue();

public slots:
    /// vnum: files still to upload; percent: 0..100.
    void updateProcess(const int &vnum, const int &percent);

private:
    QLabel *m_pInfo1Label;
    QLabel *m_pInfo2Label;
    QProgressBar *m_pProgressBar;
};

class KxProgressToast : public KxMerioToastShell {
    Q_OBJECT
public:
    explicit KxProgressToast(double *scale, QWidget *parent = nullptr);

signals:
    void sigUpdateProgress(const int &vnum, const int &percent);

public slots:
    void onExit();
    void onContinue();
};

/// Content of the select toast.
class SelectInnerWidget : public QWidget {
    Q_OBJECT
public:
    explicit SelectInnerWidget(double scale, QWidget *parent = nullptr);

signals:
    void sigToExit();
    void sigToContinueRecord();
};

class KxSelectToast : public KxMerioToastShell {
    Q_OBJECT
public:
    explicit KxSelectToast(double *scale, QWidget *parent = nullptr);

    /// Centres the toast over ref and shows it (exec() keeps it there).
    void showOnRefWidgetCenter(QWidget *ref);

public slots:
    void onContinueRecord();
    void onExitRecord();
};

/// The dark bottom bar of two text buttons shared by both toasts.
QWidget *kxToastButtonBar(const QString &leftName, const QString &leftText, const QString &rightName,
                          const QString &rightText, double scale, QPushButton **left, QPushButton **right,
                          QWidget *parent);
